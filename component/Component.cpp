// The GPKI component as a COM class: the object with its 60 methods, its class
// factory and the library's one export, DllGetClassObject. Method bodies take
// the token lock, turn BSTRs into UTF-8, do their work through Token, CertFields,
// CodePage and FileAccess (or the CMS and XML family), record the outcome as
// lastError and never let an exception out.

#include "common/com/Com.h"
#include "common/com/ComText.h"
#include "common/com/GpkiComponent.h"
#include "common/runtime/Log.h"
#include "common/runtime/Tool.h"
#include "component/CertFields.h"
#include "component/CmsMethods.h"
#include "component/CodePage.h"
#include "component/ComponentMethods.h"
#include "component/FileAccess.h"
#include "component/Token.h"

#include <gnutls/abstract.h>
#include <gnutls/crypto.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#ifndef KESTROVA_COMPONENT_VERSION
#define KESTROVA_COMPONENT_VERSION "0.0.0"
#endif

#define COMPONENT_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

std::atomic<long> liveObjects{0};
std::atomic<long> serverLocks{0};

constexpr size_t kMaxDialogStrings = 256;
constexpr size_t kMaxDialogStringLength = 4096;
constexpr size_t kMaxTextInput = 64u * 1024u * 1024u;

// HRESULT of an outcome: FACILITY_ITF with the outcome number as code, so
// the number survives in the HRESULT's low 16 bits.
HRESULT hresultOf(long result) {
    if (result == kTokenOk)
        return S_OK;
    if (result == kTokenNoMemory)
        return E_OUTOFMEMORY;
    return static_cast<HRESULT>(0x80040000u | (static_cast<unsigned long>(result) & 0xFFFFu));
}

// A BSTR argument as UTF-8; wiped when it goes, whatever it held.
struct Text {
    std::string s;
    Text() = default;
    Text(const Text&) = delete;
    Text& operator=(const Text&) = delete;
    ~Text() { secureWipe(s.data(), s.size()); }
};

long textOf(BSTR bstr, Text& out) {
    if (SysStringLen(bstr) > kMaxTextInput)
        return kTokenTooLarge;
    char* utf8 = nullptr;
    if (FAILED(utf8FromBstr(bstr, &utf8)) || !utf8)
        return kTokenNoMemory;
    out.s.assign(utf8);
    freeSecret(utf8);
    return kTokenOk;
}

long bstrOut(const std::string& text, BSTR* pVal) {
    if (text.empty()) {
        *pVal = nullptr;
        return kTokenOk;
    }
    return SUCCEEDED(bstrFromUtf8Length(text.data(), text.size(), pVal)) ? kTokenOk
                                                                         : kTokenNoMemory;
}

gnutls_digest_algorithm_t digestOfFlag(long hashFlag) {
    switch (hashFlag) {
    case 0:
    case 2:
    case 256:
        return GNUTLS_DIG_SHA256;
    case 1:
    case 160:
        return GNUTLS_DIG_SHA1;
    case 3:
    case 384:
        return GNUTLS_DIG_SHA384;
    case 4:
    case 512:
        return GNUTLS_DIG_SHA512;
    default:
        return GNUTLS_DIG_UNKNOWN;
    }
}

// RAII for a token key within one method.
struct KeyHolder {
    TokenKey key;
    ~KeyHolder() { tokenKeyFree(key); }
};

} // namespace

// ===========================================================================
// The component object
// ===========================================================================

struct GpkiComponentObject final : IGpkiComponent, ISupportErrorInfo {
    std::atomic<ULONG> references{1};
    ComponentState state;

    GpkiComponentObject() { liveObjects++; }
    ~GpkiComponentObject() {
        componentStateRelease(state);
        liveObjects--;
    }

    // Runs a method body under the token lock, records its outcome and turns
    // every exception into a failing HRESULT.
    template <typename Body> HRESULT run(const char* name, Body&& body) noexcept {
        try {
            auto guard = tokenLock();
            logNormal("Component method: ", name);
            long result = body();
            // No error object (SetErrorInfo): the caller's COM runtime is its
            // own copy with its own thread slot and never takes one set here,
            // so it would stay in this library's slot and leak when the thread
            // ends. The outcome travels in the HRESULT and in lastError.
            componentSetError(state, result,
                              result == kTokenOk ? nullptr : tokenResultText(result));
            return hresultOf(result);
        } catch (const std::bad_alloc&) {
            KESTROVA_ALLOC_FAIL();
            state.lastError = kTokenNoMemory;
            return E_OUTOFMEMORY;
        } catch (...) {
            logError("Component method failed: ", name);
            state.lastError = kTokenDeviceError;
            return E_FAIL;
        }
    }

    template <typename Field>
    HRESULT certText(const char* name, BSTR strCert, LONG iFlags, BSTR* pVal,
                     Field field) noexcept {
        if (!pVal)
            return E_POINTER;
        *pVal = nullptr;
        return run(name, [&]() -> long {
            Text cert;
            std::string der, out;
            long rc = textOf(strCert, cert);
            if (rc == kTokenOk)
                rc = tokenCertificateFromText(state, cert.s, der);
            if (rc == kTokenOk)
                rc = field(der, iFlags, out);
            if (rc == kTokenOk)
                rc = bstrOut(out, pVal);
            return rc;
        });
    }

    HRESULT notSupported(const char* name) noexcept {
        return run(name, []() -> long { return kTokenNotSupported; });
    }

    // --- IUnknown --------------------------------------------------------

    HRESULT QueryInterface(REFIID riid, void** ppvObject) noexcept override {
        if (!ppvObject)
            return E_POINTER;
        *ppvObject = nullptr;
        if (riid == IID_IUnknown || riid == IID_IDispatch || riid == IID_IGpkiComponent)
            *ppvObject = static_cast<IGpkiComponent*>(this);
        else if (riid == IID_ISupportErrorInfo)
            *ppvObject = static_cast<ISupportErrorInfo*>(this);
        else
            return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    ULONG AddRef() noexcept override { return ++references; }
    ULONG Release() noexcept override {
        ULONG left = --references;
        if (left == 0)
            delete this;
        return left;
    }

    // --- ISupportErrorInfo -------------------------------------------------

    HRESULT InterfaceSupportsErrorInfo(REFIID riid) noexcept override {
        return riid == IID_IGpkiComponent ? S_OK : S_FALSE;
    }

    // --- IDispatch: the table is the only way in ---------------------------

    HRESULT GetTypeInfoCount(UINT* pctinfo) noexcept override {
        if (!pctinfo)
            return E_POINTER;
        *pctinfo = 0;
        return S_OK;
    }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo** ppTInfo) noexcept override {
        if (ppTInfo)
            *ppTInfo = nullptr;
        return E_NOTIMPL;
    }
    HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) noexcept override {
        return E_NOTIMPL;
    }
    HRESULT Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                   UINT*) noexcept override {
        return E_NOTIMPL;
    }

    // --- 0 .. 9 --------------------------------------------------------------

    HRESULT get_lastError(LONG* pVal) noexcept override {
        if (!pVal)
            return E_POINTER;
        *pVal = static_cast<LONG>(state.lastError);
        return S_OK;
    }

    HRESULT GPKI_EnumCerts(LONG iFlags, VARIANT* pVal) noexcept override {
        if (!pVal)
            return E_POINTER;
        VariantInit(pVal);
        return run("GPKI_EnumCerts", [&]() -> long {
            std::vector<TokenCertificate> list;
            if (iFlags & ~(kKeyUsageMask | kKeyKindMask))
                return kTokenBadArgument;
            long rc = tokenListCertificates(state, iFlags, list);
            if (rc != kTokenOk)
                return rc;
            SAFEARRAY* array =
                SafeArrayCreateVector(VT_VARIANT, 0, static_cast<ULONG>(list.size()));
            if (!array)
                return kTokenNoMemory;
            for (size_t i = 0; i < list.size(); ++i) {
                VARIANT item;
                VariantInit(&item);
                item.vt = VT_BSTR;
                std::string b64 = base64Encode(list[i].der);
                if (FAILED(bstrFromUtf8Length(b64.data(), b64.size(), &item.bstrVal))) {
                    SafeArrayDestroy(array);
                    return kTokenNoMemory;
                }
                LONG index = static_cast<LONG>(i);
                HRESULT hr = SafeArrayPutElement(array, &index, &item);
                VariantClear(&item);
                if (FAILED(hr)) {
                    SafeArrayDestroy(array);
                    return kTokenNoMemory;
                }
            }
            if (!list.empty())
                state.cachedCert = list.front().der;
            pVal->vt = VT_ARRAY | VT_VARIANT;
            pVal->parray = array;
            return kTokenOk;
        });
    }

    HRESULT CAPICertGetSerialNumber(BSTR strCert, LONG iFlags, BSTR* pVal) noexcept override {
        return certText("CAPICertGetSerialNumber", strCert, iFlags, pVal, certSerialNumber);
    }
    HRESULT CAPICertGetIssuer(BSTR strCert, LONG iFlags, BSTR* pVal) noexcept override {
        return certText("CAPICertGetIssuer", strCert, iFlags, pVal, certIssuer);
    }
    HRESULT CAPICertGetSubject(BSTR strCert, LONG iFlags, BSTR* pVal) noexcept override {
        return certText("CAPICertGetSubject", strCert, iFlags, pVal, certSubject);
    }
    HRESULT GPKI_GetTailOfCitizenID(BSTR strCert, LONG iFlags, BSTR* pVal) noexcept override {
        return certText("GPKI_GetTailOfCitizenID", strCert, iFlags, pVal, certTailOfCitizenId);
    }
    HRESULT GPKI_GetCertType(BSTR strCert, LONG iFlags, LONG* pVal) noexcept override {
        if (!pVal)
            return E_POINTER;
        *pVal = 0;
        return run("GPKI_GetCertType", [&]() -> long {
            Text cert;
            std::string der;
            long type = 0;
            long rc = textOf(strCert, cert);
            if (rc == kTokenOk)
                rc = tokenCertificateFromText(state, cert.s, der);
            if (rc == kTokenOk)
                rc = certType(der, iFlags, type);
            if (rc == kTokenOk)
                *pVal = static_cast<LONG>(type);
            return rc;
        });
    }
    HRESULT GPKI_GetOrganizationID(BSTR strCert, LONG iFlags, BSTR* pVal) noexcept override {
        return certText("GPKI_GetOrganizationID", strCert, iFlags, pVal, certOrganizationId);
    }
    HRESULT GPKI_GetCardHolderRank(BSTR strCert, LONG iFlags, BSTR* pVal) noexcept override {
        return certText("GPKI_GetCardHolderRank", strCert, iFlags, pVal, certCardHolderRank);
    }
    HRESULT GPKI_GetCertTypeOID(BSTR strCert, LONG iFlags, BSTR* pVal) noexcept override {
        return certText("GPKI_GetCertTypeOID", strCert, iFlags, pVal, certTypeOid);
    }

    // --- 10 .. 19 ------------------------------------------------------------

    HRESULT GPKI_GetEntityOID(BSTR cert, LONG iFlags, BSTR* pVal) noexcept override {
        return certText("GPKI_GetEntityOID", cert, iFlags, pVal, certEntityOid);
    }
    HRESULT CAPICertGetPublicKey(BSTR strCert, LONG iFlags, BSTR* pVal) noexcept override {
        return certText("CAPICertGetPublicKey", strCert, iFlags, pVal, certPublicKey);
    }
    HRESULT CAPICertGetNotBefore(BSTR strCert, LONG iFlags, BSTR* pVal) noexcept override {
        return certText("CAPICertGetNotBefore", strCert, iFlags, pVal, certNotBefore);
    }
    HRESULT CAPICertGetNotAfter(BSTR strCert, LONG iFlags, BSTR* pVal) noexcept override {
        return certText("CAPICertGetNotAfter", strCert, iFlags, pVal, certNotAfter);
    }
    HRESULT CAPICertGetVersion(BSTR strCert, LONG iFlags, BSTR* pVal) noexcept override {
        return certText("CAPICertGetVersion", strCert, iFlags, pVal, certVersion);
    }

    HRESULT GPKI_EncryptByCert(BSTR strCert, BSTR strData, LONG iFlags,
                               BSTR* pVal) noexcept override {
        if (!pVal)
            return E_POINTER;
        *pVal = nullptr;
        return run("GPKI_EncryptByCert", [&]() -> long {
            Text cert, data;
            std::string out;
            long rc = textOf(strCert, cert);
            if (rc == kTokenOk)
                rc = textOf(strData, data);
            if (rc == kTokenOk)
                rc = componentEncryptByCert(state, cert.s, data.s, iFlags, out);
            if (rc == kTokenOk)
                rc = bstrOut(out, pVal);
            return rc;
        });
    }

    HRESULT GPKI_Decrypt(BSTR strCipher, LONG iFlags, LONG iKeyUsage,
                         BSTR* pVal) noexcept override {
        if (!pVal)
            return E_POINTER;
        *pVal = nullptr;
        return run("GPKI_Decrypt", [&]() -> long {
            Text cipher;
            std::string out;
            long rc = textOf(strCipher, cipher);
            if (rc == kTokenOk)
                rc = componentDecrypt(state, std::string(), cipher.s, iFlags, iKeyUsage, out);
            if (rc == kTokenOk)
                rc = bstrOut(out, pVal);
            wipe(out);
            return rc;
        });
    }

    HRESULT GPKI_Decrypt2File(BSTR strCipher, BSTR strOutFilePath, LONG iFlags, LONG iKeyUsage,
                              LONG* pVal) noexcept override {
        if (!pVal)
            return E_POINTER;
        *pVal = 0;
        return run("GPKI_Decrypt2File", [&]() -> long {
            Text cipher, path;
            long rc = textOf(strCipher, cipher);
            if (rc == kTokenOk)
                rc = textOf(strOutFilePath, path);
            if (rc == kTokenOk)
                rc = componentDecrypt2File(state, cipher.s, path.s, iFlags, iKeyUsage);
            return rc;
        });
    }

    HRESULT GPKI_XMLSignTemplate(BSTR bstrPIN, BSTR bstrXML, BSTR bstrSignId, LONG iFlags,
                                 BSTR* pVal) noexcept override {
        return xmlText("GPKI_XMLSignTemplate", kXmlSignTemplate, bstrPIN, bstrXML, nullptr,
                       bstrSignId, iFlags, pVal);
    }

    HRESULT GPKI_SetReaderSlot(LONG iFlags, LONG slot, LONG* pVal) noexcept override {
        if (!pVal)
            return E_POINTER;
        *pVal = 0;
        return run("GPKI_SetReaderSlot", [&]() -> long {
            long rc = tokenSelectSlot(state, slot);
            if (rc == kTokenOk)
                *pVal = slot;
            return rc;
        });
    }

    // --- 20 .. 29 ------------------------------------------------------------

    HRESULT GPKI_EnumCertsToString(LONG iFlags, BSTR* pVal) noexcept override {
        if (!pVal)
            return E_POINTER;
        *pVal = nullptr;
        return run("GPKI_EnumCertsToString", [&]() -> long {
            std::vector<TokenCertificate> list;
            if (iFlags & ~(kKeyUsageMask | kKeyKindMask))
                return kTokenBadArgument;
            long rc = tokenListCertificates(state, iFlags, list);
            if (rc != kTokenOk)
                return rc;
            std::string out;
            for (const TokenCertificate& cert : list)
                out += base64Encode(cert.der) + ";";
            if (!list.empty())
                state.cachedCert = list.front().der;
            return bstrOut(out, pVal);
        });
    }

    HRESULT GPKI_Base64Encode(BSTR srcData, BSTR codePage, BSTR* pVal) noexcept override {
        if (!pVal)
            return E_POINTER;
        *pVal = nullptr;
        return run("GPKI_Base64Encode", [&]() -> long {
            Text data, page;
            std::string bytes;
            long rc = textOf(srcData, data);
            if (rc == kTokenOk)
                rc = textOf(codePage, page);
            if (rc == kTokenOk)
                rc = codePageFromUtf8(data.s, page.s, state.codePage, bytes);
            if (rc == kTokenOk)
                rc = bstrOut(base64Encode(bytes), pVal);
            wipe(bytes);
            return rc;
        });
    }

    HRESULT GPKI_Base64Decode(BSTR base64String, BSTR outCodePage, BSTR* pVal) noexcept override {
        if (!pVal)
            return E_POINTER;
        *pVal = nullptr;
        return run("GPKI_Base64Decode", [&]() -> long {
            Text data, page;
            std::string bytes, text;
            long rc = textOf(base64String, data);
            if (rc == kTokenOk)
                rc = textOf(outCodePage, page);
            if (rc == kTokenOk && !base64Decode(data.s, bytes))
                rc = kTokenBadBase64;
            if (rc == kTokenOk)
                rc = codePageToUtf8(bytes, page.s, state.codePage, text);
            if (rc == kTokenOk)
                rc = bstrOut(text, pVal);
            wipe(bytes);
            wipe(text);
            return rc;
        });
    }

    HRESULT GPKI_DecryptEx(BSTR sOptPIN, BSTR strCipher, LONG iFlags, LONG iKeyUsage,
                           BSTR* pVal) noexcept override {
        if (!pVal)
            return E_POINTER;
        *pVal = nullptr;
        return run("GPKI_DecryptEx", [&]() -> long {
            Text pin, cipher;
            std::string out;
            long rc = textOf(sOptPIN, pin);
            if (rc == kTokenOk)
                rc = textOf(strCipher, cipher);
            if (rc == kTokenOk)
                rc = componentDecrypt(state, pin.s, cipher.s, iFlags, iKeyUsage, out);
            if (rc == kTokenOk)
                rc = bstrOut(out, pVal);
            wipe(out);
            return rc;
        });
    }

    HRESULT GPKI_SignDataInit(BSTR sOptPIN, LONG lFlags, LONG* pVal) noexcept override {
        return signStep("GPKI_SignDataInit", kSignDataInit, sOptPIN, lFlags, pVal);
    }
    HRESULT GPKI_SignDataFinal(LONG lFlags, LONG* pVal) noexcept override {
        return signStep("GPKI_SignDataFinal", kSignDataFinal, nullptr, lFlags, pVal);
    }

    HRESULT GPKI_XMLSignTemplateFile(BSTR bstrPIN, BSTR bstrXMLFilePath, BSTR bstrSignId,
                                     LONG iFlags, BSTR* pVal) noexcept override {
        return xmlText("GPKI_XMLSignTemplateFile", kXmlSignTemplateFile, bstrPIN, bstrXMLFilePath,
                       nullptr, bstrSignId, iFlags, pVal);
    }
    HRESULT GPKI_XMLCalcTemplateDigest(BSTR bstrXML, BSTR bstrSignId,
                                       BSTR* pVal) noexcept override {
        return xmlText("GPKI_XMLCalcTemplateDigest", kXmlCalcTemplateDigest, nullptr, bstrXML,
                       nullptr, bstrSignId, 0, pVal);
    }
    HRESULT GPKI_XMLCalcTemplateFileDigest(BSTR bstrXMLFilePath, BSTR bstrSignId,
                                           BSTR* pVal) noexcept override {
        return xmlText("GPKI_XMLCalcTemplateFileDigest", kXmlCalcTemplateFileDigest, nullptr,
                       bstrXMLFilePath, nullptr, bstrSignId, 0, pVal);
    }
    HRESULT GPKI_XMLSignTemplateDigest(BSTR bstrPIN, BSTR bstrXML, BSTR bstrSignId, LONG iFlags,
                                       BSTR* pVal) noexcept override {
        return xmlText("GPKI_XMLSignTemplateDigest", kXmlSignTemplateDigest, bstrPIN, bstrXML,
                       nullptr, bstrSignId, iFlags, pVal);
    }

    // --- 30 .. 39 ------------------------------------------------------------

    HRESULT GPKI_ReadFile(BSTR strFilepath, LONG flags, BSTR* pVal) noexcept override {
        if (!pVal)
            return E_POINTER;
        *pVal = nullptr;
        return run("GPKI_ReadFile", [&]() -> long {
            Text path;
            std::string bytes, text;
            long rc = textOf(strFilepath, path);
            if (rc == kTokenOk && flags != 0 && flags != 1)
                rc = kTokenBadArgument;
            if (rc == kTokenOk)
                rc = fileAccessRead(path.s, kFileAccessMaxRead, bytes);
            if (rc == kTokenOk) {
                if (flags == 1)
                    text = base64Encode(bytes);
                else
                    rc = codePageToUtf8(bytes, std::string(), state.codePage, text);
            }
            if (rc == kTokenOk)
                rc = bstrOut(text, pVal);
            wipe(bytes);
            wipe(text);
            return rc;
        });
    }

    HRESULT GPKI_XMLSignTemplateFileUpdate(BSTR bstrXMLFilePath, BSTR bstrSignId, LONG iFlags,
                                           BSTR* pVal) noexcept override {
        return xmlText("GPKI_XMLSignTemplateFileUpdate", kXmlSignTemplateFileUpdate, nullptr,
                       bstrXMLFilePath, nullptr, bstrSignId, iFlags, pVal);
    }
    HRESULT GPKI_SignInit(BSTR sOptPIN, LONG lFlags, LONG* pVal) noexcept override {
        return signStep("GPKI_SignInit", kSignInit, sOptPIN, lFlags, pVal);
    }
    HRESULT GPKI_SignFinal(LONG lFlags, LONG* pVal) noexcept override {
        return signStep("GPKI_SignFinal", kSignFinal, nullptr, lFlags, pVal);
    }
    HRESULT GPKI_XMLSignTemplateDigestUpdate(BSTR bstrXML, BSTR bstrSignId, LONG iFlags,
                                             BSTR* pVal) noexcept override {
        return xmlText("GPKI_XMLSignTemplateDigestUpdate", kXmlSignTemplateDigestUpdate, nullptr,
                       bstrXML, nullptr, bstrSignId, iFlags, pVal);
    }

    HRESULT GPKI_SetPKCS11Driver(BSTR bPath, LONG* pVal) noexcept override {
        if (!pVal)
            return E_POINTER;
        *pVal = 0;
        return run("GPKI_SetPKCS11Driver", [&]() -> long {
            Text path;
            long count = 0;
            long rc = textOf(bPath, path);
            if (rc == kTokenOk)
                rc = tokenSelectModule(state, path.s, count);
            if (rc == kTokenOk)
                *pVal = static_cast<LONG>(count);
            return rc;
        });
    }

    HRESULT SetXMLReferenceDirs(BSTR bstrMultiRefDir) noexcept override {
        return run("SetXMLReferenceDirs", [&]() -> long {
            Text dirs;
            long rc = textOf(bstrMultiRefDir, dirs);
            if (rc != kTokenOk)
                return rc;
            // Folders separated by ";" (or "|"); each must lie in an allowed folder.
            std::vector<std::string> checked;
            size_t start = 0;
            while (start <= dirs.s.size()) {
                size_t end = dirs.s.find_first_of(";|", start);
                if (end == std::string::npos)
                    end = dirs.s.size();
                std::string dir = dirs.s.substr(start, end - start);
                while (!dir.empty() && (dir.back() == ' ' || dir.back() == '/'))
                    dir.pop_back();
                size_t first = dir.find_first_not_of(' ');
                dir = first == std::string::npos ? std::string() : dir.substr(first);
                if (!dir.empty()) {
                    std::string resolved;
                    rc = fileAccessResolveFolder(dir, resolved);
                    if (rc != kTokenOk)
                        return rc;
                    checked.push_back(resolved);
                }
                start = end + 1;
            }
            state.xmlReferenceDirs = checked;
            return kTokenOk;
        });
    }

    HRESULT GPKI_GetSerialNumber(BSTR* pVal) noexcept override {
        if (!pVal)
            return E_POINTER;
        *pVal = nullptr;
        return run("GPKI_GetSerialNumber", [&]() -> long {
            std::string serial;
            long rc = tokenSerialNumber(state, serial);
            if (rc == kTokenOk)
                rc = bstrOut(serial, pVal);
            return rc;
        });
    }

    HRESULT GPKI_RSADecrypt(BSTR strCipher, BSTR strPinCode, LONG iFlags,
                            BSTR* pVal) noexcept override {
        if (!pVal)
            return E_POINTER;
        *pVal = nullptr;
        return run("GPKI_RSADecrypt", [&]() -> long {
            Text cipherText, pin;
            std::string cipher, plain, out;
            long rc = textOf(strCipher, cipherText);
            if (rc == kTokenOk)
                rc = textOf(strPinCode, pin);
            if (rc == kTokenOk && (iFlags & ~(kKeyUsageMask | kRawFlagBinary)))
                rc = kTokenBadArgument;
            if (rc == kTokenOk && !base64Decode(cipherText.s, cipher))
                rc = kTokenBadBase64;
            if (rc == kTokenOk && cipher.empty())
                rc = kTokenBadArgument;
            KeyHolder key;
            if (rc == kTokenOk)
                rc = tokenOpenKey(state, (iFlags & kKeyUsageMask) | kKeyKindRsa, kKeyUsageEncrypt,
                                  pin.s, key.key);
            if (rc == kTokenOk) {
                gnutls_datum_t in{reinterpret_cast<unsigned char*>(cipher.data()),
                                  static_cast<unsigned>(cipher.size())};
                gnutls_datum_t result{};
                int grc = gnutls_privkey_decrypt_data(key.key.key, 0, &in, &result);
                if (grc < 0) {
                    logWarning("Token decryption failed: ", gnutls_strerror(grc));
                    rc = kTokenDecryptFailed;
                } else {
                    plain.assign(reinterpret_cast<char*>(result.data), result.size);
                    secureWipe(result.data, result.size);
                    gnutls_free(result.data);
                }
            }
            if (rc == kTokenOk) {
                if (iFlags & kRawFlagBinary)
                    out = base64Encode(plain);
                else
                    rc = codePageToUtf8(plain, std::string(), state.codePage, out);
            }
            if (rc == kTokenOk)
                rc = bstrOut(out, pVal);
            wipe(plain);
            wipe(out);
            return rc;
        });
    }

    HRESULT GPKI_RSAEncryptByCert(BSTR strCert, BSTR strData, LONG iFlags,
                                  BSTR* pVal) noexcept override {
        if (!pVal)
            return E_POINTER;
        *pVal = nullptr;
        return run("GPKI_RSAEncryptByCert", [&]() -> long {
            Text certText, data;
            std::string der, plain;
            long rc = textOf(strCert, certText);
            if (rc == kTokenOk)
                rc = textOf(strData, data);
            if (rc == kTokenOk && (iFlags & ~kRawFlagBinary))
                rc = kTokenBadArgument;
            if (rc == kTokenOk) {
                if (certText.s.find_first_not_of(" \t\r\n") == std::string::npos) {
                    // No certificate given: the selected token's encryption certificate.
                    std::vector<TokenCertificate> list;
                    rc = tokenListCertificates(state, kKeyUsageEncrypt | kKeyKindRsa, list);
                    if (rc == kTokenOk && list.empty())
                        rc = kTokenNoCertificate;
                    if (rc == kTokenOk)
                        der = list.front().der;
                } else {
                    rc = tokenCertificateFromText(state, certText.s, der);
                }
            }
            if (rc == kTokenOk) {
                if (iFlags & kRawFlagBinary)
                    rc = base64Decode(data.s, plain) ? kTokenOk : kTokenBadBase64;
                else
                    rc = codePageFromUtf8(data.s, std::string(), state.codePage, plain);
            }
            std::string cipher;
            if (rc == kTokenOk)
                rc = rsaEncrypt(der, plain, cipher);
            if (rc == kTokenOk)
                rc = bstrOut(base64Encode(cipher), pVal);
            wipe(plain);
            return rc;
        });
    }

    // --- 40 .. 49 ------------------------------------------------------------

    HRESULT GPKI_XMLSignTemplateUpdate(BSTR bstrXML, BSTR bstrSignId, LONG iFlags,
                                       BSTR* pVal) noexcept override {
        return xmlText("GPKI_XMLSignTemplateUpdate", kXmlSignTemplateUpdate, nullptr, bstrXML,
                       nullptr, bstrSignId, iFlags, pVal);
    }
    HRESULT GPKI_XMLSignTemplateFile2File(BSTR bstrPIN, BSTR bstrInXMLFilePath,
                                          BSTR bstrOutXMLFilePath, BSTR bstrSignId, LONG iFlags,
                                          LONG* pVal) noexcept override {
        return xmlNumber("GPKI_XMLSignTemplateFile2File", kXmlSignTemplateFile2File, bstrPIN,
                         bstrInXMLFilePath, bstrOutXMLFilePath, bstrSignId, iFlags, pVal);
    }
    HRESULT GPKI_XMLSignTemplateDigest2File(BSTR bstrPIN, BSTR bstrXML, BSTR bstrOutXMLFilePath,
                                            BSTR bstrSignId, LONG iFlags,
                                            LONG* pVal) noexcept override {
        return xmlNumber("GPKI_XMLSignTemplateDigest2File", kXmlSignTemplateDigest2File, bstrPIN,
                         bstrXML, bstrOutXMLFilePath, bstrSignId, iFlags, pVal);
    }

    HRESULT GPKI_GetAttributeCert(BSTR strReader, BSTR strPIN, LONG iFlags,
                                  BSTR* pVal) noexcept override {
        if (!pVal)
            return E_POINTER;
        *pVal = nullptr;
        return run("GPKI_GetAttributeCert", [&]() -> long {
            Text reader, pin;
            std::string out;
            long rc = textOf(strReader, reader);
            if (rc == kTokenOk)
                rc = textOf(strPIN, pin);
            if (rc == kTokenOk)
                rc = componentGetAttributeCert(state, reader.s, pin.s, iFlags, out);
            if (rc == kTokenOk)
                rc = bstrOut(out, pVal);
            return rc;
        });
    }

    HRESULT SetCodePage(LONG codePage) noexcept override {
        return run("SetCodePage", [&]() -> long {
            if (!codePageKnown(codePage))
                return kTokenBadCodePage;
            state.codePage = codePage;
            return kTokenOk;
        });
    }

    HRESULT GPKI_GetSlotCount(LONG* pVal) noexcept override {
        if (!pVal)
            return E_POINTER;
        *pVal = 0;
        return run("GPKI_GetSlotCount", [&]() -> long {
            long count = 0;
            long rc = tokenCount(state, count);
            if (rc == kTokenOk)
                *pVal = static_cast<LONG>(count);
            return rc;
        });
    }

    HRESULT GPKI_VerifyPIN(BSTR bPIN, LONG iFlags, LONG* pVal) noexcept override {
        if (!pVal)
            return E_POINTER;
        *pVal = 0;
        return run("GPKI_VerifyPIN", [&]() -> long {
            Text pin;
            long rc = textOf(bPIN, pin);
            if (rc == kTokenOk)
                rc = tokenLogin(state, pin.s);
            return rc;
        });
    }

    HRESULT GPKI_GetErrorPINCount(LONG* pVal) noexcept override {
        if (!pVal)
            return E_POINTER;
        *pVal = 0;
        return run("GPKI_GetErrorPINCount", [&]() -> long {
            long tries = 0;
            long rc = tokenPinTriesLeft(state, tries);
            if (rc == kTokenOk)
                *pVal = static_cast<LONG>(tries);
            return rc;
        });
    }

    HRESULT GetVersion(LONG flag, BSTR* pVal) noexcept override {
        if (!pVal)
            return E_POINTER;
        *pVal = nullptr;
        return run("GetVersion", [&]() -> long {
            std::string text = flag == 1 ? std::string("ARDEQKestrova GPKI component ") +
                                               KESTROVA_COMPONENT_VERSION + " (GnuTLS " +
                                               gnutls_check_version(nullptr) + ")"
                                         : std::string(KESTROVA_COMPONENT_VERSION);
            return bstrOut(text, pVal);
        });
    }

    HRESULT GPKI_SignData(BSTR sOptPIN, BSTR sData, BSTR signcodepage, LONG iFlags, LONG iHashFlag,
                          BSTR* pVal) noexcept override {
        if (!pVal)
            return E_POINTER;
        *pVal = nullptr;
        return run("GPKI_SignData", [&]() -> long {
            Text pin, data, page;
            std::string out;
            long rc = textOf(sOptPIN, pin);
            if (rc == kTokenOk)
                rc = textOf(sData, data);
            if (rc == kTokenOk)
                rc = textOf(signcodepage, page);
            if (rc == kTokenOk)
                rc = componentSignData(state, pin.s, data.s, page.s, iFlags, iHashFlag, out);
            if (rc == kTokenOk)
                rc = bstrOut(out, pVal);
            return rc;
        });
    }

    // --- 50 .. 59 ------------------------------------------------------------

    HRESULT GPKI_SignDataUpdate(BSTR sData, BSTR signcodepage, LONG iFlags, LONG iHashFlag,
                                BSTR* pVal) noexcept override {
        if (!pVal)
            return E_POINTER;
        *pVal = nullptr;
        return run("GPKI_SignDataUpdate", [&]() -> long {
            Text data, page;
            std::string out;
            long rc = textOf(sData, data);
            if (rc == kTokenOk)
                rc = textOf(signcodepage, page);
            if (rc == kTokenOk)
                rc = componentSignDataUpdate(state, data.s, page.s, iFlags, iHashFlag, out);
            if (rc == kTokenOk)
                rc = bstrOut(out, pVal);
            return rc;
        });
    }

    HRESULT GPKI_PureSign(BSTR sOptPIN, BSTR sData, BSTR signcodepage, LONG iFlags, LONG iHashFlag,
                          BSTR* pVal) noexcept override {
        if (!pVal)
            return E_POINTER;
        *pVal = nullptr;
        return run("GPKI_PureSign", [&]() -> long {
            Text pin, data, page;
            std::string bytes;
            long rc = textOf(sOptPIN, pin);
            if (rc == kTokenOk)
                rc = textOf(sData, data);
            if (rc == kTokenOk)
                rc = textOf(signcodepage, page);
            if (rc == kTokenOk && (iFlags & ~(kKeyUsageMask | kKeyKindMask)))
                rc = kTokenBadArgument;
            gnutls_digest_algorithm_t digest = digestOfFlag(iHashFlag);
            if (rc == kTokenOk && digest == GNUTLS_DIG_UNKNOWN)
                rc = kTokenBadHashFlag;
            if (rc == kTokenOk)
                rc = dataBytes(state, data.s, page.s, bytes);
            KeyHolder key;
            if (rc == kTokenOk)
                rc = tokenOpenKey(state, iFlags, kKeyUsageSign, pin.s, key.key);
            std::string signature;
            if (rc == kTokenOk) {
                int pk = gnutls_privkey_get_pk_algorithm(key.key.key, nullptr);
                gnutls_sign_algorithm_t algorithm =
                    gnutls_pk_to_sign(static_cast<gnutls_pk_algorithm_t>(pk), digest);
                gnutls_datum_t in{reinterpret_cast<unsigned char*>(bytes.data()),
                                  static_cast<unsigned>(bytes.size())};
                gnutls_datum_t sig{};
                int grc = algorithm == GNUTLS_SIGN_UNKNOWN
                              ? GNUTLS_E_UNSUPPORTED_SIGNATURE_ALGORITHM
                              : gnutls_privkey_sign_data2(key.key.key, algorithm, 0, &in, &sig);
                if (grc < 0) {
                    logWarning("Token signing failed: ", gnutls_strerror(grc));
                    rc = grc == GNUTLS_E_UNSUPPORTED_SIGNATURE_ALGORITHM ? kTokenUnsupportedKey
                                                                         : kTokenSignFailed;
                } else {
                    signature.assign(reinterpret_cast<char*>(sig.data), sig.size);
                    gnutls_free(sig.data);
                }
            }
            if (rc == kTokenOk)
                rc = bstrOut(base64Encode(signature), pVal);
            wipe(bytes);
            return rc;
        });
    }

    HRESULT CryptCertGetSignatureAlgorithm(BSTR strCert, LONG iFlags,
                                           BSTR* pVal) noexcept override {
        return certText("CryptCertGetSignatureAlgorithm", strCert, iFlags, pVal,
                        certSignatureAlgorithm);
    }

    HRESULT CryptSignatureGetAlgorithm(BSTR strSignature, LONG iFlags, LONG index,
                                       BSTR* pVal) noexcept override {
        if (!pVal)
            return E_POINTER;
        *pVal = nullptr;
        return run("CryptSignatureGetAlgorithm", [&]() -> long {
            Text signature;
            std::string out;
            long rc = textOf(strSignature, signature);
            if (rc == kTokenOk)
                rc = componentSignatureAlgorithm(state, signature.s, iFlags, index, out);
            if (rc == kTokenOk)
                rc = bstrOut(out, pVal);
            return rc;
        });
    }

    HRESULT GPKI_SignInitLogin(BSTR sOptPIN, LONG lFlags, LONG* pVal) noexcept override {
        return signStep("GPKI_SignInitLogin", kSignInitLogin, sOptPIN, lFlags, pVal);
    }

    HRESULT GPKI_DetectCard(LONG iFlags, LONG* pVal) noexcept override {
        if (!pVal)
            return E_POINTER;
        *pVal = 0;
        return run("GPKI_DetectCard", [&]() -> long {
            bool present = false;
            long rc = tokenDetect(state, present);
            if (rc == kTokenOk)
                *pVal = present ? 1 : 0;
            return rc;
        });
    }

    HRESULT GPKI_GetCachedCert(BSTR* pVal) noexcept override {
        if (!pVal)
            return E_POINTER;
        *pVal = nullptr;
        return run("GPKI_GetCachedCert", [&]() -> long {
            if (state.cachedCert.empty())
                return kTokenNoCertificate;
            return bstrOut(base64Encode(state.cachedCert), pVal);
        });
    }

    HRESULT GPKI_CertGetSubjectDirectoryAttrs(BSTR strCert, BSTR strOID, LONG iFlags,
                                              BSTR* pVal) noexcept override {
        if (!pVal)
            return E_POINTER;
        *pVal = nullptr;
        return run("GPKI_CertGetSubjectDirectoryAttrs", [&]() -> long {
            Text cert, oid;
            std::string der, out;
            long rc = textOf(strCert, cert);
            if (rc == kTokenOk)
                rc = textOf(strOID, oid);
            if (rc == kTokenOk)
                rc = tokenCertificateFromText(state, cert.s, der);
            if (rc == kTokenOk)
                rc = certSubjectDirectoryAttrs(der, oid.s, iFlags, out);
            if (rc == kTokenOk)
                rc = bstrOut(out, pVal);
            return rc;
        });
    }

    HRESULT CryptCertGetExtension(BSTR strCert, LONG iFlags, BSTR* pVal) noexcept override {
        return certText("CryptCertGetExtension", strCert, iFlags, pVal, certExtensions);
    }

    HRESULT SetDialogString(LONG dlgID, LONG IDS, BSTR value, LONG* pVal) noexcept override {
        if (!pVal)
            return E_POINTER;
        *pVal = 0;
        return run("SetDialogString", [&]() -> long {
            Text text;
            long rc = textOf(value, text);
            if (rc != kTokenOk)
                return rc;
            if (text.s.size() > kMaxDialogStringLength)
                return kTokenTooLarge;
            auto key = std::make_pair(static_cast<long>(dlgID), static_cast<long>(IDS));
            if (!state.dialogStrings.count(key) && state.dialogStrings.size() >= kMaxDialogStrings)
                return kTokenTooLarge;
            state.dialogStrings[key] = text.s;
            return kTokenOk;
        });
    }

  private:
    static long rsaEncrypt(const std::string& der, const std::string& plain, std::string& out) {
        gnutls_x509_crt_t crt = nullptr;
        gnutls_pubkey_t pub = nullptr;
        long rc = kTokenOk;
        if (gnutls_x509_crt_init(&crt) < 0 || gnutls_pubkey_init(&pub) < 0)
            rc = kTokenNoMemory;
        gnutls_datum_t d{reinterpret_cast<unsigned char*>(const_cast<char*>(der.data())),
                         static_cast<unsigned>(der.size())};
        if (rc == kTokenOk && (gnutls_x509_crt_import(crt, &d, GNUTLS_X509_FMT_DER) < 0 ||
                               gnutls_pubkey_import_x509(pub, crt, 0) < 0))
            rc = kTokenBadCertificate;
        if (rc == kTokenOk && gnutls_pubkey_get_pk_algorithm(pub, nullptr) != GNUTLS_PK_RSA)
            rc = kTokenUnsupportedKey;
        if (rc == kTokenOk) {
            gnutls_datum_t in{reinterpret_cast<unsigned char*>(const_cast<char*>(plain.data())),
                              static_cast<unsigned>(plain.size())};
            gnutls_datum_t cipher{};
            int grc = gnutls_pubkey_encrypt_data(pub, 0, &in, &cipher);
            if (grc < 0) {
                logWarning("RSA encryption failed: ", gnutls_strerror(grc));
                rc = kTokenEncryptFailed;
            } else {
                out.assign(reinterpret_cast<char*>(cipher.data), cipher.size);
                gnutls_free(cipher.data);
            }
        }
        if (pub)
            gnutls_pubkey_deinit(pub);
        if (crt)
            gnutls_x509_crt_deinit(crt);
        return rc;
    }

    // The XML methods read the same four texts; they differ in what they hand back.
    long xmlCall(XmlMethod method, BSTR pinB, BSTR firstB, BSTR secondB, BSTR idB, LONG iFlags,
                 std::string& out) {
        Text pin, first, second, id;
        long rc = textOf(pinB, pin);
        if (rc == kTokenOk)
            rc = textOf(firstB, first);
        if (rc == kTokenOk)
            rc = textOf(secondB, second);
        if (rc == kTokenOk)
            rc = textOf(idB, id);
        if (rc == kTokenOk)
            rc = componentXml(state, method, pin.s, first.s, second.s, id.s, iFlags, out);
        return rc;
    }

    // The CMS and XML methods share these two shapes.
    HRESULT xmlText(const char* name, XmlMethod method, BSTR pinB, BSTR firstB, BSTR secondB,
                    BSTR idB, LONG iFlags, BSTR* pVal) noexcept {
        if (!pVal)
            return E_POINTER;
        *pVal = nullptr;
        return run(name, [&]() -> long {
            std::string out;
            long rc = xmlCall(method, pinB, firstB, secondB, idB, iFlags, out);
            if (rc == kTokenOk)
                rc = bstrOut(out, pVal);
            return rc;
        });
    }

    HRESULT xmlNumber(const char* name, XmlMethod method, BSTR pinB, BSTR firstB, BSTR secondB,
                      BSTR idB, LONG iFlags, LONG* pVal) noexcept {
        if (!pVal)
            return E_POINTER;
        *pVal = 0;
        return run(name, [&]() -> long {
            std::string out;
            return xmlCall(method, pinB, firstB, secondB, idB, iFlags, out);
        });
    }

    HRESULT signStep(const char* name, SignStep step, BSTR pinB, LONG lFlags, LONG* pVal) noexcept {
        if (!pVal)
            return E_POINTER;
        *pVal = 0;
        return run(name, [&]() -> long {
            Text pin;
            long number = 0;
            long rc = textOf(pinB, pin);
            if (rc == kTokenOk)
                rc = componentSignStep(state, step, pin.s, lFlags, number);
            if (rc == kTokenOk)
                *pVal = static_cast<LONG>(number);
            return rc;
        });
    }
};

// ===========================================================================
// Class factory and exports
// ===========================================================================

namespace {

struct ComponentFactory final : IClassFactory {
    HRESULT QueryInterface(REFIID riid, void** ppvObject) noexcept override {
        if (!ppvObject)
            return E_POINTER;
        *ppvObject = nullptr;
        if (riid != IID_IUnknown && riid != IID_IClassFactory)
            return E_NOINTERFACE;
        *ppvObject = static_cast<IClassFactory*>(this);
        return S_OK;
    }
    // The factory is static: it lives as long as the library.
    ULONG AddRef() noexcept override { return 2; }
    ULONG Release() noexcept override { return 1; }

    HRESULT CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppvObject) noexcept override {
        if (!ppvObject)
            return E_POINTER;
        *ppvObject = nullptr;
        if (pUnkOuter)
            return CLASS_E_NOAGGREGATION;
        try {
            {
                // The component's own log lines join the system's log when it is on.
                auto guard = tokenLock();
                if (!isLogReady())
                    setLog("GpkiComponent");
            }
            auto* object = new GpkiComponentObject();
            HRESULT hr = object->QueryInterface(riid, ppvObject);
            object->Release();
            return hr;
        } catch (const std::bad_alloc&) {
            KESTROVA_ALLOC_FAIL();
            return E_OUTOFMEMORY;
        } catch (...) {
            return E_FAIL;
        }
    }

    HRESULT LockServer(BOOL fLock) noexcept override {
        if (fLock)
            serverLocks++;
        else
            serverLocks--;
        return S_OK;
    }
};

ComponentFactory factory;

} // namespace

COMPONENT_EXPORT HRESULT DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv) noexcept {
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (rclsid != CLSID_GpkiComponent)
        return CLASS_E_CLASSNOTAVAILABLE;
    return factory.QueryInterface(riid, ppv);
}

COMPONENT_EXPORT HRESULT DllCanUnloadNow() noexcept {
    return liveObjects.load() == 0 && serverLocks.load() <= 0 ? S_OK : S_FALSE;
}
