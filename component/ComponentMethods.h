#pragma once
// The seam between the COM object (Component.cpp) and the CMS and XML family:
// the object converts the BSTR arguments to UTF-8, holds the token lock and
// records the outcome; these functions do the work. Each returns kTokenOk or
// an outcome number (Token.h or Cms.h ranges) and fills out... only on
// success. Texts that held a PIN or data are wiped by the caller.

#include "component/Token.h"

#include <string>

// "iFlags" bit of the raw RSA methods: the data (or the clear result) is
// Base64 of bytes rather than text in the object's code page.
constexpr long kRawFlagBinary = 0x10;

enum XmlMethod {
    kXmlSignTemplate,
    kXmlSignTemplateFile,
    kXmlCalcTemplateDigest,
    kXmlCalcTemplateFileDigest,
    kXmlSignTemplateDigest,
    kXmlSignTemplateFileUpdate,
    kXmlSignTemplateDigestUpdate,
    kXmlSignTemplateUpdate,
    kXmlSignTemplateFile2File,
    kXmlSignTemplateDigest2File,
};

enum SignStep {
    kSignDataInit,
    kSignDataFinal,
    kSignInit,
    kSignFinal,
    kSignInitLogin,
};

// Wipes the text (it may have held a PIN or data), then empties it.
void wipe(std::string& s);

// The data of a method as bytes: the text in the code page, or its Base64
// decoding when the code page says "BASE64". kTokenOk, kTokenBadBase64 or
// kTokenBadCodePage.
[[nodiscard]] long dataBytes(const ComponentState& state, const std::string& text,
                             const std::string& codePage, std::string& out);

// GPKI_SignData: CMS SignedData of data (bytes in codePage), Base64.
[[nodiscard]] long componentSignData(ComponentState& state, const std::string& pin,
                                     const std::string& data, const std::string& codePage,
                                     long flags, long hashFlag, std::string& out);
// GPKI_SignDataUpdate: one part of a multi-part SignedData.
[[nodiscard]] long componentSignDataUpdate(ComponentState& state, const std::string& data,
                                           const std::string& codePage, long flags, long hashFlag,
                                           std::string& out);
// GPKI_SignDataInit / SignDataFinal / SignInit / SignFinal / SignInitLogin.
[[nodiscard]] long componentSignStep(ComponentState& state, SignStep step, const std::string& pin,
                                     long flags, long& outNumber);
// CryptSignatureGetAlgorithm.
[[nodiscard]] long componentSignatureAlgorithm(ComponentState& state, const std::string& cms,
                                               long flags, long index, std::string& out);
// GPKI_EncryptByCert: CMS EnvelopedData for the certificate, Base64.
[[nodiscard]] long componentEncryptByCert(ComponentState& state, const std::string& cert,
                                          const std::string& data, long flags, std::string& out);
// GPKI_Decrypt (pin empty) and GPKI_DecryptEx.
[[nodiscard]] long componentDecrypt(ComponentState& state, const std::string& pin,
                                    const std::string& cipher, long flags, long keyUsage,
                                    std::string& out);
// GPKI_Decrypt2File: the clear bytes written to an allowed file.
[[nodiscard]] long componentDecrypt2File(ComponentState& state, const std::string& cipher,
                                         const std::string& path, long flags, long keyUsage);
// The XML signature methods. first is the XML text or the input file path,
// second the output file path (File2File, Digest2File), id the Signature Id.
[[nodiscard]] long componentXml(ComponentState& state, XmlMethod method, const std::string& pin,
                                const std::string& first, const std::string& second,
                                const std::string& id, long flags, std::string& out);
