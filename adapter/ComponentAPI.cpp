// The 60 component functions: each reads its keys from the request map, calls
// one method of the GPKI component and turns the result into the answer. They
// differ only in keys, kinds and result; one runner does the common work so
// every member keeps the same order of reading, refusing, calling, answering
// and wiping.

#include "adapter/AdapterInternal.h"

#include "common/com/ComText.h"
#include "common/json/Json.h"
#include "common/runtime/Log.h"
#include "common/runtime/Tool.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

namespace {

// The name the "Safe in" line gives as the handlers' source.
constexpr const char* kSourceName = "AdapterProject";
constexpr int kComponentError = 61011;
constexpr int kMaxParameters = 5;

enum ParamKind { kText, kNumber };

struct Param {
    const char* key;
    ParamKind kind;
};

enum AnswerKind { kAnswerText, kAnswerNumber, kAnswerList, kAnswerZero };

// Parameter values by their place in the key list; texts are UTF-16 copies
// that are wiped on every path.
struct CallArguments {
    BSTR text[kMaxParameters];
    LONG number[kMaxParameters];
};

struct CallResult {
    BSTR text;
    LONG number;
    VARIANT list;
};

typedef HRESULT (*Invoker)(IGpkiComponent* component, const CallArguments& a, CallResult& r);

struct MethodSpec {
    const char* handlerName;
    const char* methodName;
    AnswerKind answer;
    // False for the one key read without the missing-key report (GetVersion).
    bool checkKeys;
    Invoker invoke;
    Param params[kMaxParameters + 1]; // ends with a null key
};

// ===========================================================================
// Results
// ===========================================================================

// Raises the component error when a conversion could not allocate.
void checkConversion(HRESULT hr) {
    if (FAILED(hr))
        _com_issue_error(hr);
}

void answerText(BSTR text) {
    if (SysStringLen(text) == 0) {
        // An empty result leaves no answer; the export then returns "".
        adapterSetAnswer(nullptr);
        return;
    }
    char* utf8 = nullptr;
    checkConversion(utf8FromBstr(text, &utf8));
    adapterTakeAnswer(utf8);
}

// A list element as text: strings as they are, integers in decimal, other
// kinds as nothing (the ";" still follows).
void appendListElement(const VARIANT& element, std::string& out) {
    if (element.vt == VT_BSTR) {
        char* utf8 = nullptr;
        checkConversion(utf8FromBstr(element.bstrVal, &utf8));
        out += utf8;
        freeSecret(utf8);
    } else if (element.vt == VT_I4 || element.vt == VT_INT) {
        VARIANT text;
        VariantInit(&text);
        HRESULT hr = VariantChangeType(&text, &element, 0, VT_BSTR);
        if (FAILED(hr))
            _com_issue_error(hr);
        char* utf8 = nullptr;
        hr = utf8FromBstr(text.bstrVal, &utf8);
        VariantClear(&text);
        checkConversion(hr);
        out += utf8;
        free(utf8);
    }
    out += ";";
}

void answerList(const VARIANT& value) {
    if (value.vt == VT_BOOL) {
        adapterSetAnswer(value.boolVal != VARIANT_FALSE ? "1" : "0");
        return;
    }
    if ((value.vt & VT_ARRAY) == 0 || (value.vt & VT_BYREF) != 0 || value.parray == nullptr) {
        adapterSetAnswer(nullptr);
        return;
    }
    SAFEARRAY* array = value.parray;
    VARTYPE elementType = (VARTYPE)(value.vt & ~VT_ARRAY);
    LONG lower = 0;
    LONG upper = -1;
    HRESULT hr = SafeArrayGetLBound(array, 1, &lower);
    if (SUCCEEDED(hr))
        hr = SafeArrayGetUBound(array, 1, &upper);
    if (FAILED(hr))
        _com_issue_error(hr);
    if (elementType != VT_VARIANT) {
        // Only lists of variants are understood; the others are reported on
        // the console element by element, as the component's own tools do.
        for (int64_t i = lower; i <= upper; i++)
            printf("Error!! value->vt & ~VT_ARRAY = %d\n", (int)elementType);
        fflush(stdout);
        adapterSetAnswer(nullptr);
        return;
    }
    if (SafeArrayGetDim(array) != 1) {
        // A table is no list of certificates.
        adapterSetAnswer(nullptr);
        return;
    }
    std::string text;
    for (int64_t i = lower; i <= upper; i++) {
        LONG index = (LONG)i;
        VARIANT element;
        VariantInit(&element);
        hr = SafeArrayGetElement(array, &index, &element);
        if (FAILED(hr))
            _com_issue_error(hr);
        try {
            appendListElement(element, text);
        } catch (...) {
            VariantClear(&element);
            throw;
        }
        VariantClear(&element);
    }
    adapterSetAnswer(text.empty() ? nullptr : text.c_str());
}

// ===========================================================================
// The runner
// ===========================================================================

// Reads the keys in their order. A text that cannot be converted for lack of
// memory is remembered: the call then ends as a component error.
HRESULT readParameters(const MethodSpec& spec, const JsonMap* map, CallArguments& args) {
    HRESULT conversion = S_OK;
    for (int i = 0; i < kMaxParameters && spec.params[i].key != nullptr; i++) {
        const Param& p = spec.params[i];
        if (p.kind == kNumber) {
            args.number[i] = (LONG)getInteger(map, p.key);
            continue;
        }
        char* value = getValue(map, p.key);
        if (value != nullptr) {
            HRESULT hr = bstrFromUtf8(value, &args.text[i]);
            freeSecret(value);
            if (FAILED(hr) && SUCCEEDED(conversion))
                conversion = hr;
        }
    }
    return conversion;
}

void callComponent(const MethodSpec& spec, const CallArguments& args, HRESULT conversion,
                   CallResult& result) {
    try {
        IGpkiComponent* component = adapterComponent();
        logNormal("Ready into component func: ", spec.methodName);
        if (component == nullptr)
            _com_issue_error(E_POINTER);
        checkConversion(conversion);
        HRESULT hr = spec.invoke(component, args, result);
        if (FAILED(hr))
            _com_issue_errorex(hr, component, IID_IGpkiComponent);
        logNormal("Finish component func: ", spec.methodName);
        switch (spec.answer) {
        case kAnswerText:
            answerText(result.text);
            break;
        case kAnswerNumber:
            adapterSetAnswerNumber(result.number);
            break;
        case kAnswerList:
            answerList(result.list);
            break;
        case kAnswerZero:
            adapterSetAnswer("0");
            break;
        }
    } catch (const _com_error& error) {
        logWarning("", "Catch component exception");
        logWarningNumber("Component error code: ", (long)error.Error());
        adapterSetAnswerNumber(kComponentError);
        char line[256];
        snprintf(line, sizeof line, "Safe in %s at %d lines in %s", spec.handlerName, __LINE__,
                 kSourceName);
        logError("[Safe Line] ", line);
    } catch (const std::bad_alloc&) {
        KESTROVA_ALLOC_FAIL();
        adapterSetAnswerNumber(kComponentError);
    }
}

void runComponentMethod(const MethodSpec& spec, const JsonMap* map) {
    logNormal("Into adapter function: ", spec.handlerName);
    CallArguments args;
    memset(&args, 0, sizeof args);
    CallResult result;
    result.text = nullptr;
    result.number = 0;
    VariantInit(&result.list);

    bool refused = false;
    HRESULT conversion = S_OK;
    if (spec.params[0].key != nullptr) {
        if (spec.checkKeys) {
            reportMissingKeys = 1;
            missingKeyCode = 0;
        }
        conversion = readParameters(spec, map, args);
        reportMissingKeys = 0;
        if (spec.checkKeys && missingKeyCode != 0 && isTrue(map, "AdapterJsonKeyCheck")) {
            adapterSetAnswerNumber(missingKeyCode);
            refused = true;
        }
    }
    if (!refused)
        callComponent(spec, args, conversion, result);

    // PINs and data must not stay behind in freed memory of the library.
    for (BSTR& text : args.text)
        secureFreeBstr(&text);
    secureFreeBstr(&result.text);
    VariantClear(&result.list);
}

} // namespace

// ===========================================================================
// The members
// ===========================================================================

constexpr Param TEXT_KEY(const char* key) {
    return Param{key, kText};
}
constexpr Param NUMBER_KEY(const char* key) {
    return Param{key, kNumber};
}
#define T(i) a.text[i]
#define N(i) a.number[i]

// One handler: NAME is the component method, CALL its invocation with the
// parameters T(i)/N(i) in key order and the result in r, the rest the keys.
#define COMPONENT_API(NAME, ANSWER, CHECK, CALL, ...)                                              \
    static void ComponentAPI_##NAME(const JsonMap* map) {                                          \
        static constexpr MethodSpec spec = {                                                       \
            "ComponentAPI_" #NAME,                                                                 \
            #NAME,                                                                                 \
            ANSWER,                                                                                \
            CHECK,                                                                                 \
            [](IGpkiComponent* c, const CallArguments& a, CallResult& r) -> HRESULT {              \
                (void)a;                                                                           \
                (void)r;                                                                           \
                return CALL;                                                                       \
            },                                                                                     \
            {__VA_ARGS__}};                                                                        \
        runComponentMethod(spec, map);                                                             \
    }

COMPONENT_API(get_lastError, kAnswerNumber, true, c->get_lastError(&r.number))
COMPONENT_API(GPKI_EnumCerts, kAnswerList, true, c->GPKI_EnumCerts(N(0), &r.list),
              NUMBER_KEY("iFlags"))
COMPONENT_API(CAPICertGetSerialNumber, kAnswerText, true,
              c->CAPICertGetSerialNumber(T(0), N(1), &r.text), TEXT_KEY("strCert"),
              NUMBER_KEY("iFlags"))
COMPONENT_API(CAPICertGetIssuer, kAnswerText, true, c->CAPICertGetIssuer(T(0), N(1), &r.text),
              TEXT_KEY("strCert"), NUMBER_KEY("iFlags"))
COMPONENT_API(CAPICertGetSubject, kAnswerText, true, c->CAPICertGetSubject(T(0), N(1), &r.text),
              TEXT_KEY("strCert"), NUMBER_KEY("iFlags"))
COMPONENT_API(GPKI_GetTailOfCitizenID, kAnswerText, true,
              c->GPKI_GetTailOfCitizenID(T(0), N(1), &r.text), TEXT_KEY("strCert"),
              NUMBER_KEY("iFlags"))
COMPONENT_API(GPKI_GetCertType, kAnswerNumber, true, c->GPKI_GetCertType(T(0), N(1), &r.number),
              TEXT_KEY("strCert"), NUMBER_KEY("iFlags"))
COMPONENT_API(GPKI_GetOrganizationID, kAnswerText, true,
              c->GPKI_GetOrganizationID(T(0), N(1), &r.text), TEXT_KEY("strCert"),
              NUMBER_KEY("iFlags"))
COMPONENT_API(GPKI_GetCardHolderRank, kAnswerText, true,
              c->GPKI_GetCardHolderRank(T(0), N(1), &r.text), TEXT_KEY("strCert"),
              NUMBER_KEY("iFlags"))
COMPONENT_API(GPKI_GetCertTypeOID, kAnswerText, true, c->GPKI_GetCertTypeOID(T(0), N(1), &r.text),
              TEXT_KEY("strCert"), NUMBER_KEY("iFlags"))
COMPONENT_API(GPKI_GetEntityOID, kAnswerText, true, c->GPKI_GetEntityOID(T(0), N(1), &r.text),
              TEXT_KEY("cert"), NUMBER_KEY("iFlags"))
COMPONENT_API(CAPICertGetPublicKey, kAnswerText, true, c->CAPICertGetPublicKey(T(0), N(1), &r.text),
              TEXT_KEY("strCert"), NUMBER_KEY("iFlags"))
COMPONENT_API(CAPICertGetNotBefore, kAnswerText, true, c->CAPICertGetNotBefore(T(0), N(1), &r.text),
              TEXT_KEY("strCert"), NUMBER_KEY("iFlags"))
COMPONENT_API(CAPICertGetNotAfter, kAnswerText, true, c->CAPICertGetNotAfter(T(0), N(1), &r.text),
              TEXT_KEY("strCert"), NUMBER_KEY("iFlags"))
COMPONENT_API(CAPICertGetVersion, kAnswerText, true, c->CAPICertGetVersion(T(0), N(1), &r.text),
              TEXT_KEY("strCert"), NUMBER_KEY("iFlags"))
COMPONENT_API(GPKI_EncryptByCert, kAnswerText, true,
              c->GPKI_EncryptByCert(T(0), T(1), N(2), &r.text), TEXT_KEY("strCert"),
              TEXT_KEY("strData"), NUMBER_KEY("iFlags"))
COMPONENT_API(GPKI_Decrypt, kAnswerText, true, c->GPKI_Decrypt(T(0), N(1), N(2), &r.text),
              TEXT_KEY("strCipher"), NUMBER_KEY("iFlags"), NUMBER_KEY("iKeyUsage"))
COMPONENT_API(GPKI_Decrypt2File, kAnswerNumber, true,
              c->GPKI_Decrypt2File(T(0), T(1), N(2), N(3), &r.number), TEXT_KEY("strCipher"),
              TEXT_KEY("strOutFilePath"), NUMBER_KEY("iFlags"), NUMBER_KEY("iKeyUsage"))
COMPONENT_API(GPKI_XMLSignTemplate, kAnswerText, true,
              c->GPKI_XMLSignTemplate(T(0), T(1), T(2), N(3), &r.text), TEXT_KEY("bstrPIN"),
              TEXT_KEY("bstrXML"), TEXT_KEY("bstrSignId"), NUMBER_KEY("iFlags"))
COMPONENT_API(GPKI_SetReaderSlot, kAnswerNumber, true, c->GPKI_SetReaderSlot(N(0), N(1), &r.number),
              NUMBER_KEY("iFlags"), NUMBER_KEY("slot"))
COMPONENT_API(GPKI_EnumCertsToString, kAnswerText, true, c->GPKI_EnumCertsToString(N(0), &r.text),
              NUMBER_KEY("iFlags"))
COMPONENT_API(GPKI_Base64Encode, kAnswerText, true, c->GPKI_Base64Encode(T(0), T(1), &r.text),
              TEXT_KEY("srcData"), TEXT_KEY("codePage"))
COMPONENT_API(GPKI_Base64Decode, kAnswerText, true, c->GPKI_Base64Decode(T(0), T(1), &r.text),
              TEXT_KEY("base64String"), TEXT_KEY("outCodePage"))
COMPONENT_API(GPKI_DecryptEx, kAnswerText, true, c->GPKI_DecryptEx(T(0), T(1), N(2), N(3), &r.text),
              TEXT_KEY("sOptPIN"), TEXT_KEY("strCipher"), NUMBER_KEY("iFlags"),
              NUMBER_KEY("iKeyUsage"))
COMPONENT_API(GPKI_SignDataInit, kAnswerNumber, true, c->GPKI_SignDataInit(T(0), N(1), &r.number),
              TEXT_KEY("sOptPIN"), NUMBER_KEY("lFlags"))
COMPONENT_API(GPKI_SignDataFinal, kAnswerNumber, true, c->GPKI_SignDataFinal(N(0), &r.number),
              NUMBER_KEY("lFlags"))
COMPONENT_API(GPKI_XMLSignTemplateFile, kAnswerText, true,
              c->GPKI_XMLSignTemplateFile(T(0), T(1), T(2), N(3), &r.text), TEXT_KEY("bstrPIN"),
              TEXT_KEY("bstrXMLFilePath"), TEXT_KEY("bstrSignId"), NUMBER_KEY("iFlags"))
COMPONENT_API(GPKI_XMLCalcTemplateDigest, kAnswerText, true,
              c->GPKI_XMLCalcTemplateDigest(T(0), T(1), &r.text), TEXT_KEY("bstrXML"),
              TEXT_KEY("bstrSignId"))
COMPONENT_API(GPKI_XMLCalcTemplateFileDigest, kAnswerText, true,
              c->GPKI_XMLCalcTemplateFileDigest(T(0), T(1), &r.text), TEXT_KEY("bstrXMLFilePath"),
              TEXT_KEY("bstrSignId"))
COMPONENT_API(GPKI_XMLSignTemplateDigest, kAnswerText, true,
              c->GPKI_XMLSignTemplateDigest(T(0), T(1), T(2), N(3), &r.text), TEXT_KEY("bstrPIN"),
              TEXT_KEY("bstrXML"), TEXT_KEY("bstrSignId"), NUMBER_KEY("iFlags"))
COMPONENT_API(GPKI_ReadFile, kAnswerText, true, c->GPKI_ReadFile(T(0), N(1), &r.text),
              TEXT_KEY("strFilepath"), NUMBER_KEY("flags"))
COMPONENT_API(GPKI_XMLSignTemplateFileUpdate, kAnswerText, true,
              c->GPKI_XMLSignTemplateFileUpdate(T(0), T(1), N(2), &r.text),
              TEXT_KEY("bstrXMLFilePath"), TEXT_KEY("bstrSignId"), NUMBER_KEY("iFlags"))
COMPONENT_API(GPKI_SignInit, kAnswerNumber, true, c->GPKI_SignInit(T(0), N(1), &r.number),
              TEXT_KEY("sOptPIN"), NUMBER_KEY("lFlags"))
COMPONENT_API(GPKI_SignFinal, kAnswerNumber, true, c->GPKI_SignFinal(N(0), &r.number),
              NUMBER_KEY("lFlags"))
COMPONENT_API(GPKI_XMLSignTemplateDigestUpdate, kAnswerText, true,
              c->GPKI_XMLSignTemplateDigestUpdate(T(0), T(1), N(2), &r.text), TEXT_KEY("bstrXML"),
              TEXT_KEY("bstrSignId"), NUMBER_KEY("iFlags"))
COMPONENT_API(GPKI_SetPKCS11Driver, kAnswerNumber, true, c->GPKI_SetPKCS11Driver(T(0), &r.number),
              TEXT_KEY("bPath"))
COMPONENT_API(SetXMLReferenceDirs, kAnswerZero, true, c->SetXMLReferenceDirs(T(0)),
              TEXT_KEY("bstrMultiRefDir"))
COMPONENT_API(GPKI_GetSerialNumber, kAnswerText, true, c->GPKI_GetSerialNumber(&r.text))
COMPONENT_API(GPKI_RSADecrypt, kAnswerText, true, c->GPKI_RSADecrypt(T(0), T(1), N(2), &r.text),
              TEXT_KEY("strCipher"), TEXT_KEY("strPinCode"), NUMBER_KEY("iFlags"))
COMPONENT_API(GPKI_RSAEncryptByCert, kAnswerText, true,
              c->GPKI_RSAEncryptByCert(T(0), T(1), N(2), &r.text), TEXT_KEY("strCert"),
              TEXT_KEY("strData"), NUMBER_KEY("iFlags"))
COMPONENT_API(GPKI_XMLSignTemplateUpdate, kAnswerText, true,
              c->GPKI_XMLSignTemplateUpdate(T(0), T(1), N(2), &r.text), TEXT_KEY("bstrXML"),
              TEXT_KEY("bstrSignId"), NUMBER_KEY("iFlags"))
COMPONENT_API(GPKI_XMLSignTemplateFile2File, kAnswerNumber, true,
              c->GPKI_XMLSignTemplateFile2File(T(0), T(1), T(2), T(3), N(4), &r.number),
              TEXT_KEY("bstrPIN"), TEXT_KEY("bstrInXMLFilePath"), TEXT_KEY("bstrOutXMLFilePath"),
              TEXT_KEY("bstrSignId"), NUMBER_KEY("iFlags"))
COMPONENT_API(GPKI_XMLSignTemplateDigest2File, kAnswerNumber, true,
              c->GPKI_XMLSignTemplateDigest2File(T(0), T(1), T(2), T(3), N(4), &r.number),
              TEXT_KEY("bstrPIN"), TEXT_KEY("bstrXML"), TEXT_KEY("bstrOutXMLFilePath"),
              TEXT_KEY("bstrSignId"), NUMBER_KEY("iFlags"))
COMPONENT_API(GPKI_GetAttributeCert, kAnswerText, true,
              c->GPKI_GetAttributeCert(T(0), T(1), N(2), &r.text), TEXT_KEY("strReader"),
              TEXT_KEY("strPIN"), NUMBER_KEY("iFlags"))
COMPONENT_API(SetCodePage, kAnswerZero, true, c->SetCodePage(N(0)), NUMBER_KEY("codePage"))
COMPONENT_API(GPKI_GetSlotCount, kAnswerNumber, true, c->GPKI_GetSlotCount(&r.number))
COMPONENT_API(GPKI_VerifyPIN, kAnswerNumber, true, c->GPKI_VerifyPIN(T(0), N(1), &r.number),
              TEXT_KEY("bPIN"), NUMBER_KEY("iFlags"))
COMPONENT_API(GPKI_GetErrorPINCount, kAnswerNumber, true, c->GPKI_GetErrorPINCount(&r.number))
// "flag" is read without the missing-key report: GetVersion never answers 61016.
COMPONENT_API(GetVersion, kAnswerText, false, c->GetVersion(N(0), &r.text), NUMBER_KEY("flag"))
COMPONENT_API(GPKI_SignData, kAnswerText, true,
              c->GPKI_SignData(T(0), T(1), T(2), N(3), N(4), &r.text), TEXT_KEY("sOptPIN"),
              TEXT_KEY("sData"), TEXT_KEY("signcodepage"), NUMBER_KEY("iFlags"),
              NUMBER_KEY("iHashFlag"))
COMPONENT_API(GPKI_SignDataUpdate, kAnswerText, true,
              c->GPKI_SignDataUpdate(T(0), T(1), N(2), N(3), &r.text), TEXT_KEY("sData"),
              TEXT_KEY("signcodepage"), NUMBER_KEY("iFlags"), NUMBER_KEY("iHashFlag"))
COMPONENT_API(GPKI_PureSign, kAnswerText, true,
              c->GPKI_PureSign(T(0), T(1), T(2), N(3), N(4), &r.text), TEXT_KEY("sOptPIN"),
              TEXT_KEY("sData"), TEXT_KEY("signcodepage"), NUMBER_KEY("iFlags"),
              NUMBER_KEY("iHashFlag"))
COMPONENT_API(CryptCertGetSignatureAlgorithm, kAnswerText, true,
              c->CryptCertGetSignatureAlgorithm(T(0), N(1), &r.text), TEXT_KEY("strCert"),
              NUMBER_KEY("iFlags"))
COMPONENT_API(CryptSignatureGetAlgorithm, kAnswerText, true,
              c->CryptSignatureGetAlgorithm(T(0), N(1), N(2), &r.text), TEXT_KEY("strSignature"),
              NUMBER_KEY("iFlags"), NUMBER_KEY("index"))
COMPONENT_API(GPKI_SignInitLogin, kAnswerNumber, true, c->GPKI_SignInitLogin(T(0), N(1), &r.number),
              TEXT_KEY("sOptPIN"), NUMBER_KEY("lFlags"))
COMPONENT_API(GPKI_DetectCard, kAnswerNumber, true, c->GPKI_DetectCard(N(0), &r.number),
              NUMBER_KEY("iFlags"))
COMPONENT_API(GPKI_GetCachedCert, kAnswerText, true, c->GPKI_GetCachedCert(&r.text))
COMPONENT_API(GPKI_CertGetSubjectDirectoryAttrs, kAnswerText, true,
              c->GPKI_CertGetSubjectDirectoryAttrs(T(0), T(1), N(2), &r.text), TEXT_KEY("strCert"),
              TEXT_KEY("strOID"), NUMBER_KEY("iFlags"))
COMPONENT_API(CryptCertGetExtension, kAnswerText, true,
              c->CryptCertGetExtension(T(0), N(1), &r.text), TEXT_KEY("strCert"),
              NUMBER_KEY("iFlags"))
COMPONENT_API(SetDialogString, kAnswerNumber, true, c->SetDialogString(N(0), N(1), T(2), &r.number),
              NUMBER_KEY("dlgID"), NUMBER_KEY("IDS"), TEXT_KEY("value"))

#define ENTRY(NAME)                                                                                \
    { #NAME, ComponentAPI_##NAME }

const AdapterFunction kComponentFunctions[ADAPTER_COMPONENT_FUNCTIONS] = {
    ENTRY(get_lastError),
    ENTRY(GPKI_EnumCerts),
    ENTRY(CAPICertGetSerialNumber),
    ENTRY(CAPICertGetIssuer),
    ENTRY(CAPICertGetSubject),
    ENTRY(GPKI_GetTailOfCitizenID),
    ENTRY(GPKI_GetCertType),
    ENTRY(GPKI_GetOrganizationID),
    ENTRY(GPKI_GetCardHolderRank),
    ENTRY(GPKI_GetCertTypeOID),
    ENTRY(GPKI_GetEntityOID),
    ENTRY(CAPICertGetPublicKey),
    ENTRY(CAPICertGetNotBefore),
    ENTRY(CAPICertGetNotAfter),
    ENTRY(CAPICertGetVersion),
    ENTRY(GPKI_EncryptByCert),
    ENTRY(GPKI_Decrypt),
    ENTRY(GPKI_Decrypt2File),
    ENTRY(GPKI_XMLSignTemplate),
    ENTRY(GPKI_SetReaderSlot),
    ENTRY(GPKI_EnumCertsToString),
    ENTRY(GPKI_Base64Encode),
    ENTRY(GPKI_Base64Decode),
    ENTRY(GPKI_DecryptEx),
    ENTRY(GPKI_SignDataInit),
    ENTRY(GPKI_SignDataFinal),
    ENTRY(GPKI_XMLSignTemplateFile),
    ENTRY(GPKI_XMLCalcTemplateDigest),
    ENTRY(GPKI_XMLCalcTemplateFileDigest),
    ENTRY(GPKI_XMLSignTemplateDigest),
    ENTRY(GPKI_ReadFile),
    ENTRY(GPKI_XMLSignTemplateFileUpdate),
    ENTRY(GPKI_SignInit),
    ENTRY(GPKI_SignFinal),
    ENTRY(GPKI_XMLSignTemplateDigestUpdate),
    ENTRY(GPKI_SetPKCS11Driver),
    ENTRY(SetXMLReferenceDirs),
    ENTRY(GPKI_GetSerialNumber),
    ENTRY(GPKI_RSADecrypt),
    ENTRY(GPKI_RSAEncryptByCert),
    ENTRY(GPKI_XMLSignTemplateUpdate),
    ENTRY(GPKI_XMLSignTemplateFile2File),
    ENTRY(GPKI_XMLSignTemplateDigest2File),
    ENTRY(GPKI_GetAttributeCert),
    ENTRY(SetCodePage),
    ENTRY(GPKI_GetSlotCount),
    ENTRY(GPKI_VerifyPIN),
    ENTRY(GPKI_GetErrorPINCount),
    ENTRY(GetVersion),
    ENTRY(GPKI_SignData),
    ENTRY(GPKI_SignDataUpdate),
    ENTRY(GPKI_PureSign),
    ENTRY(CryptCertGetSignatureAlgorithm),
    ENTRY(CryptSignatureGetAlgorithm),
    ENTRY(GPKI_SignInitLogin),
    ENTRY(GPKI_DetectCard),
    ENTRY(GPKI_GetCachedCert),
    ENTRY(GPKI_CertGetSubjectDirectoryAttrs),
    ENTRY(CryptCertGetExtension),
    ENTRY(SetDialogString),
};
