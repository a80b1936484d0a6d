#pragma once
// The GPKI cryptographic component as the adapter sees it: its class and
// interface identifiers and the dual interface whose 60 methods follow the
// IDispatch methods in this order. The adapter calls them through the table,
// never through Invoke; the component library implements them.
//
// Conventions of every method: BSTR arguments are owned by the caller (a null
// BSTR is an empty text); a BSTR result belongs to the caller (SysFreeString),
// a VARIANT result too (VariantClear); out-parameters are set to null / 0 /
// VT_EMPTY on failure. "long" parameters are 32-bit (LONG). A failing HRESULT
// may come with an error object (ISupportErrorInfo answers S_OK for
// IID_IGpkiComponent).

#include "common/com/Com.h"

// {4B91F9EF-F244-622E-CE84-9671A85BDFE5}
extern const CLSID CLSID_GpkiComponent;
// {DBB2E4AE-442A-44C6-95D9-02DAB038E474}
extern const IID IID_IGpkiComponent;

// Number of the component's own methods (after the IDispatch ones).
#define GPKI_COMPONENT_METHOD_COUNT 60

struct IGpkiComponent : IDispatch {
    // 0 .. 9
    virtual HRESULT get_lastError(LONG* pVal) = 0;
    virtual HRESULT GPKI_EnumCerts(LONG iFlags, VARIANT* pVal) = 0;
    virtual HRESULT CAPICertGetSerialNumber(BSTR strCert, LONG iFlags, BSTR* pVal) = 0;
    virtual HRESULT CAPICertGetIssuer(BSTR strCert, LONG iFlags, BSTR* pVal) = 0;
    virtual HRESULT CAPICertGetSubject(BSTR strCert, LONG iFlags, BSTR* pVal) = 0;
    virtual HRESULT GPKI_GetTailOfCitizenID(BSTR strCert, LONG iFlags, BSTR* pVal) = 0;
    virtual HRESULT GPKI_GetCertType(BSTR strCert, LONG iFlags, LONG* pVal) = 0;
    virtual HRESULT GPKI_GetOrganizationID(BSTR strCert, LONG iFlags, BSTR* pVal) = 0;
    virtual HRESULT GPKI_GetCardHolderRank(BSTR strCert, LONG iFlags, BSTR* pVal) = 0;
    virtual HRESULT GPKI_GetCertTypeOID(BSTR strCert, LONG iFlags, BSTR* pVal) = 0;
    // 10 .. 19
    virtual HRESULT GPKI_GetEntityOID(BSTR cert, LONG iFlags, BSTR* pVal) = 0;
    virtual HRESULT CAPICertGetPublicKey(BSTR strCert, LONG iFlags, BSTR* pVal) = 0;
    virtual HRESULT CAPICertGetNotBefore(BSTR strCert, LONG iFlags, BSTR* pVal) = 0;
    virtual HRESULT CAPICertGetNotAfter(BSTR strCert, LONG iFlags, BSTR* pVal) = 0;
    virtual HRESULT CAPICertGetVersion(BSTR strCert, LONG iFlags, BSTR* pVal) = 0;
    virtual HRESULT GPKI_EncryptByCert(BSTR strCert, BSTR strData, LONG iFlags, BSTR* pVal) = 0;
    virtual HRESULT GPKI_Decrypt(BSTR strCipher, LONG iFlags, LONG iKeyUsage, BSTR* pVal) = 0;
    virtual HRESULT GPKI_Decrypt2File(BSTR strCipher, BSTR strOutFilePath, LONG iFlags,
                                      LONG iKeyUsage, LONG* pVal) = 0;
    virtual HRESULT GPKI_XMLSignTemplate(BSTR bstrPIN, BSTR bstrXML, BSTR bstrSignId, LONG iFlags,
                                         BSTR* pVal) = 0;
    virtual HRESULT GPKI_SetReaderSlot(LONG iFlags, LONG slot, LONG* pVal) = 0;
    // 20 .. 29
    virtual HRESULT GPKI_EnumCertsToString(LONG iFlags, BSTR* pVal) = 0;
    virtual HRESULT GPKI_Base64Encode(BSTR srcData, BSTR codePage, BSTR* pVal) = 0;
    virtual HRESULT GPKI_Base64Decode(BSTR base64String, BSTR outCodePage, BSTR* pVal) = 0;
    virtual HRESULT GPKI_DecryptEx(BSTR sOptPIN, BSTR strCipher, LONG iFlags, LONG iKeyUsage,
                                   BSTR* pVal) = 0;
    virtual HRESULT GPKI_SignDataInit(BSTR sOptPIN, LONG lFlags, LONG* pVal) = 0;
    virtual HRESULT GPKI_SignDataFinal(LONG lFlags, LONG* pVal) = 0;
    virtual HRESULT GPKI_XMLSignTemplateFile(BSTR bstrPIN, BSTR bstrXMLFilePath, BSTR bstrSignId,
                                             LONG iFlags, BSTR* pVal) = 0;
    virtual HRESULT GPKI_XMLCalcTemplateDigest(BSTR bstrXML, BSTR bstrSignId, BSTR* pVal) = 0;
    virtual HRESULT GPKI_XMLCalcTemplateFileDigest(BSTR bstrXMLFilePath, BSTR bstrSignId,
                                                   BSTR* pVal) = 0;
    virtual HRESULT GPKI_XMLSignTemplateDigest(BSTR bstrPIN, BSTR bstrXML, BSTR bstrSignId,
                                               LONG iFlags, BSTR* pVal) = 0;
    // 30 .. 39
    virtual HRESULT GPKI_ReadFile(BSTR strFilepath, LONG flags, BSTR* pVal) = 0;
    virtual HRESULT GPKI_XMLSignTemplateFileUpdate(BSTR bstrXMLFilePath, BSTR bstrSignId,
                                                   LONG iFlags, BSTR* pVal) = 0;
    virtual HRESULT GPKI_SignInit(BSTR sOptPIN, LONG lFlags, LONG* pVal) = 0;
    virtual HRESULT GPKI_SignFinal(LONG lFlags, LONG* pVal) = 0;
    virtual HRESULT GPKI_XMLSignTemplateDigestUpdate(BSTR bstrXML, BSTR bstrSignId, LONG iFlags,
                                                     BSTR* pVal) = 0;
    virtual HRESULT GPKI_SetPKCS11Driver(BSTR bPath, LONG* pVal) = 0;
    virtual HRESULT SetXMLReferenceDirs(BSTR bstrMultiRefDir) = 0;
    virtual HRESULT GPKI_GetSerialNumber(BSTR* pVal) = 0;
    virtual HRESULT GPKI_RSADecrypt(BSTR strCipher, BSTR strPinCode, LONG iFlags, BSTR* pVal) = 0;
    virtual HRESULT GPKI_RSAEncryptByCert(BSTR strCert, BSTR strData, LONG iFlags, BSTR* pVal) = 0;
    // 40 .. 49
    virtual HRESULT GPKI_XMLSignTemplateUpdate(BSTR bstrXML, BSTR bstrSignId, LONG iFlags,
                                               BSTR* pVal) = 0;
    virtual HRESULT GPKI_XMLSignTemplateFile2File(BSTR bstrPIN, BSTR bstrInXMLFilePath,
                                                  BSTR bstrOutXMLFilePath, BSTR bstrSignId,
                                                  LONG iFlags, LONG* pVal) = 0;
    virtual HRESULT GPKI_XMLSignTemplateDigest2File(BSTR bstrPIN, BSTR bstrXML,
                                                    BSTR bstrOutXMLFilePath, BSTR bstrSignId,
                                                    LONG iFlags, LONG* pVal) = 0;
    virtual HRESULT GPKI_GetAttributeCert(BSTR strReader, BSTR strPIN, LONG iFlags, BSTR* pVal) = 0;
    virtual HRESULT SetCodePage(LONG codePage) = 0;
    virtual HRESULT GPKI_GetSlotCount(LONG* pVal) = 0;
    virtual HRESULT GPKI_VerifyPIN(BSTR bPIN, LONG iFlags, LONG* pVal) = 0;
    virtual HRESULT GPKI_GetErrorPINCount(LONG* pVal) = 0;
    virtual HRESULT GetVersion(LONG flag, BSTR* pVal) = 0;
    virtual HRESULT GPKI_SignData(BSTR sOptPIN, BSTR sData, BSTR signcodepage, LONG iFlags,
                                  LONG iHashFlag, BSTR* pVal) = 0;
    // 50 .. 59
    virtual HRESULT GPKI_SignDataUpdate(BSTR sData, BSTR signcodepage, LONG iFlags, LONG iHashFlag,
                                        BSTR* pVal) = 0;
    virtual HRESULT GPKI_PureSign(BSTR sOptPIN, BSTR sData, BSTR signcodepage, LONG iFlags,
                                  LONG iHashFlag, BSTR* pVal) = 0;
    virtual HRESULT CryptCertGetSignatureAlgorithm(BSTR strCert, LONG iFlags, BSTR* pVal) = 0;
    virtual HRESULT CryptSignatureGetAlgorithm(BSTR strSignature, LONG iFlags, LONG index,
                                               BSTR* pVal) = 0;
    virtual HRESULT GPKI_SignInitLogin(BSTR sOptPIN, LONG lFlags, LONG* pVal) = 0;
    virtual HRESULT GPKI_DetectCard(LONG iFlags, LONG* pVal) = 0;
    virtual HRESULT GPKI_GetCachedCert(BSTR* pVal) = 0;
    virtual HRESULT GPKI_CertGetSubjectDirectoryAttrs(BSTR strCert, BSTR strOID, LONG iFlags,
                                                      BSTR* pVal) = 0;
    virtual HRESULT CryptCertGetExtension(BSTR strCert, LONG iFlags, BSTR* pVal) = 0;
    virtual HRESULT SetDialogString(LONG dlgID, LONG IDS, BSTR value, LONG* pVal) = 0;
};
