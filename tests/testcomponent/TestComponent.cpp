// A GPKI component for the tests: implements the whole interface with canned
// answers and records what it receives, so tests can prove which method the
// adapter called, with which arguments, and whether it was called at all.
// Built in the tree as a real shared library, registered by the tests through
// a registration file in a temporary registry folder; never installed.

#include "common/com/ComText.h"
#include "common/com/GpkiComponent.h"
#include "tests/testcomponent/TestComponentControl.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#define TEST_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

struct Argument {
    bool isText;
    BSTR text;
    LONG number;
};

struct TextArgument {
    const void* address;
    size_t bytes;
};

struct Recorder {
    std::mutex mutex;
    int calls = 0;
    std::string lastMethod;
    std::string lastArguments;
    std::vector<TextArgument> textArguments;
    HRESULT failure = S_OK;
    bool nullText = false;
    std::string textAnswer;
    bool textAnswerSet = false;
    LONG numberAnswer = 42;
    int enumMode = kEnumThreeStrings;
    std::atomic<int> liveObjects{0};
    std::atomic<int> createdObjects{0};
};

// With KESTROVA_TEST_COMPONENT_ECHO set, text methods answer
// "<method>(<arguments>)", so a test that only sees answers (through the
// service) can tell what reached the component.
bool echoArguments() {
    const char* echo = getenv("KESTROVA_TEST_COMPONENT_ECHO");
    return echo != nullptr && echo[0] != 0;
}

Recorder& recorder() {
    static Recorder r;
    return r;
}

std::string utf8Of(BSTR text) {
    if (text == nullptr)
        return "<null>";
    char* utf8 = nullptr;
    if (FAILED(utf8FromBstr(text, &utf8)))
        return "<nomem>";
    std::string s = utf8;
    free(utf8);
    return s;
}

struct TestComponent final : IGpkiComponent, ISupportErrorInfo {
    std::atomic<ULONG> references{1};

    TestComponent() {
        recorder().liveObjects++;
        recorder().createdObjects++;
    }
    ~TestComponent() { recorder().liveObjects--; }

    // Records the call; S_OK or the forced failure (with an error object).
    HRESULT record(const char* method, std::initializer_list<Argument> arguments) {
        Recorder& r = recorder();
        std::lock_guard<std::mutex> hold(r.mutex);
        r.calls++;
        r.lastMethod = method;
        r.lastArguments.clear();
        r.textArguments.clear();
        bool first = true;
        for (const Argument& a : arguments) {
            if (!first)
                r.lastArguments += "|";
            first = false;
            if (a.isText) {
                r.lastArguments += utf8Of(a.text);
                r.textArguments.push_back({a.text, SysStringByteLen(a.text)});
            } else {
                r.lastArguments += std::to_string(a.number);
            }
        }
        if (r.failure != S_OK) {
            IErrorInfo* info = nullptr;
            if (SUCCEEDED(createErrorInfo(IID_IGpkiComponent, "TestComponent", "forced failure",
                                          &info))) {
                SetErrorInfo(0, info);
                info->Release();
            }
        }
        return r.failure;
    }

    static Argument text(BSTR b) { return Argument{true, b, 0}; }
    static Argument number(LONG n) { return Argument{false, nullptr, n}; }

    HRESULT textResult(HRESULT hr, const char* method, BSTR* out) {
        if (out == nullptr)
            return E_POINTER;
        *out = nullptr;
        if (FAILED(hr))
            return hr;
        Recorder& r = recorder();
        std::string answer;
        {
            std::lock_guard<std::mutex> hold(r.mutex);
            if (r.nullText)
                return S_OK;
            if (r.textAnswerSet)
                answer = r.textAnswer;
            else if (echoArguments())
                answer = std::string(method) + "(" + r.lastArguments + ")";
            else
                answer = std::string("answer:") + method;
        }
        return bstrFromUtf8(answer.c_str(), out);
    }

    HRESULT numberResult(HRESULT hr, LONG* out) {
        if (out == nullptr)
            return E_POINTER;
        *out = 0;
        if (FAILED(hr))
            return hr;
        *out = recorder().numberAnswer;
        return S_OK;
    }

    // IUnknown
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IDispatch || riid == IID_IGpkiComponent) {
            *ppv = static_cast<IGpkiComponent*>(this);
        } else if (riid == IID_ISupportErrorInfo) {
            *ppv = static_cast<ISupportErrorInfo*>(this);
        } else {
            *ppv = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    ULONG AddRef() override { return ++references; }
    ULONG Release() override {
        ULONG left = --references;
        if (left == 0)
            delete this;
        return left;
    }

    // ISupportErrorInfo
    HRESULT InterfaceSupportsErrorInfo(REFIID riid) override {
        return riid == IID_IGpkiComponent ? S_OK : S_FALSE;
    }

    // IDispatch: the adapter never calls through Invoke.
    HRESULT GetTypeInfoCount(UINT* pctinfo) override {
        if (pctinfo != nullptr)
            *pctinfo = 0;
        return S_OK;
    }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
        return E_NOTIMPL;
    }

#define TEXT_METHOD(NAME, PARAMS, ...)                                                             \
    HRESULT NAME PARAMS override {                                                                 \
        return textResult(record(#NAME, {__VA_ARGS__}), #NAME, pVal);                              \
    }
#define NUMBER_METHOD(NAME, PARAMS, ...)                                                           \
    HRESULT NAME PARAMS override {                                                                 \
        return numberResult(record(#NAME, {__VA_ARGS__}), pVal);                                   \
    }

    NUMBER_METHOD(get_lastError, (LONG * pVal))

    HRESULT GPKI_EnumCerts(LONG iFlags, VARIANT* pVal) override {
        if (pVal == nullptr)
            return E_POINTER;
        VariantInit(pVal);
        HRESULT hr = record("GPKI_EnumCerts", {number(iFlags)});
        if (FAILED(hr))
            return hr;
        return makeEnumResult(recorder().enumMode, pVal);
    }

    static HRESULT putString(SAFEARRAY* array, LONG index, const char* text) {
        VARIANT v;
        VariantInit(&v);
        v.vt = VT_BSTR;
        HRESULT hr = bstrFromUtf8(text, &v.bstrVal);
        if (SUCCEEDED(hr))
            hr = SafeArrayPutElement(array, &index, &v);
        VariantClear(&v);
        return hr;
    }

    static HRESULT makeEnumResult(int mode, VARIANT* out) {
        switch (mode) {
        case kEnumBoolTrue:
        case kEnumBoolFalse:
            out->vt = VT_BOOL;
            out->boolVal = mode == kEnumBoolTrue ? VARIANT_TRUE : VARIANT_FALSE;
            return S_OK;
        case kEnumScalar:
            out->vt = VT_I4;
            out->lVal = 9;
            return S_OK;
        case kEnumStringArray: {
            SAFEARRAY* array = SafeArrayCreateVector(VT_BSTR, 0, 2);
            if (array == nullptr)
                return E_OUTOFMEMORY;
            out->vt = VT_ARRAY | VT_BSTR;
            out->parray = array;
            return S_OK;
        }
        case kEnumEmptyArray: {
            SAFEARRAY* array = SafeArrayCreateVector(VT_VARIANT, 0, 0);
            if (array == nullptr)
                return E_OUTOFMEMORY;
            out->vt = VT_ARRAY | VT_VARIANT;
            out->parray = array;
            return S_OK;
        }
        case kEnumMixed: {
            SAFEARRAY* array = SafeArrayCreateVector(VT_VARIANT, 0, 5);
            if (array == nullptr)
                return E_OUTOFMEMORY;
            out->vt = VT_ARRAY | VT_VARIANT;
            out->parray = array;
            HRESULT hr = putString(array, 0, "x");
            VARIANT v;
            VariantInit(&v);
            LONG i = 1;
            v.vt = VT_I4;
            v.lVal = 5;
            if (SUCCEEDED(hr))
                hr = SafeArrayPutElement(array, &i, &v);
            i = 2;
            v.vt = VT_INT;
            v.intVal = -7;
            if (SUCCEEDED(hr))
                hr = SafeArrayPutElement(array, &i, &v);
            i = 3;
            v.vt = VT_BOOL;
            v.boolVal = VARIANT_TRUE;
            if (SUCCEEDED(hr))
                hr = SafeArrayPutElement(array, &i, &v);
            return hr; // element 4 stays VT_EMPTY
        }
        case kEnumLowerBound: {
            SAFEARRAY* array = SafeArrayCreateVector(VT_VARIANT, 3, 2);
            if (array == nullptr)
                return E_OUTOFMEMORY;
            out->vt = VT_ARRAY | VT_VARIANT;
            out->parray = array;
            HRESULT hr = putString(array, 3, "p");
            if (SUCCEEDED(hr))
                hr = putString(array, 4, "q");
            return hr;
        }
        default: {
            SAFEARRAY* array = SafeArrayCreateVector(VT_VARIANT, 0, 3);
            if (array == nullptr)
                return E_OUTOFMEMORY;
            out->vt = VT_ARRAY | VT_VARIANT;
            out->parray = array;
            HRESULT hr = putString(array, 0, "cert-a");
            if (SUCCEEDED(hr))
                hr = putString(array, 1, "cert-b");
            if (SUCCEEDED(hr))
                hr = putString(array, 2, "cert-c");
            return hr;
        }
        }
    }

    TEXT_METHOD(CAPICertGetSerialNumber, (BSTR a, LONG b, BSTR* pVal), text(a), number(b))
    TEXT_METHOD(CAPICertGetIssuer, (BSTR a, LONG b, BSTR* pVal), text(a), number(b))
    TEXT_METHOD(CAPICertGetSubject, (BSTR a, LONG b, BSTR* pVal), text(a), number(b))
    TEXT_METHOD(GPKI_GetTailOfCitizenID, (BSTR a, LONG b, BSTR* pVal), text(a), number(b))
    NUMBER_METHOD(GPKI_GetCertType, (BSTR a, LONG b, LONG* pVal), text(a), number(b))
    TEXT_METHOD(GPKI_GetOrganizationID, (BSTR a, LONG b, BSTR* pVal), text(a), number(b))
    TEXT_METHOD(GPKI_GetCardHolderRank, (BSTR a, LONG b, BSTR* pVal), text(a), number(b))
    TEXT_METHOD(GPKI_GetCertTypeOID, (BSTR a, LONG b, BSTR* pVal), text(a), number(b))
    TEXT_METHOD(GPKI_GetEntityOID, (BSTR a, LONG b, BSTR* pVal), text(a), number(b))
    TEXT_METHOD(CAPICertGetPublicKey, (BSTR a, LONG b, BSTR* pVal), text(a), number(b))
    TEXT_METHOD(CAPICertGetNotBefore, (BSTR a, LONG b, BSTR* pVal), text(a), number(b))
    TEXT_METHOD(CAPICertGetNotAfter, (BSTR a, LONG b, BSTR* pVal), text(a), number(b))
    TEXT_METHOD(CAPICertGetVersion, (BSTR a, LONG b, BSTR* pVal), text(a), number(b))
    TEXT_METHOD(GPKI_EncryptByCert, (BSTR a, BSTR b, LONG c, BSTR* pVal), text(a), text(b),
                number(c))
    TEXT_METHOD(GPKI_Decrypt, (BSTR a, LONG b, LONG c, BSTR* pVal), text(a), number(b), number(c))
    NUMBER_METHOD(GPKI_Decrypt2File, (BSTR a, BSTR b, LONG c, LONG d, LONG* pVal), text(a), text(b),
                  number(c), number(d))
    TEXT_METHOD(GPKI_XMLSignTemplate, (BSTR a, BSTR b, BSTR c, LONG d, BSTR* pVal), text(a),
                text(b), text(c), number(d))
    NUMBER_METHOD(GPKI_SetReaderSlot, (LONG a, LONG b, LONG* pVal), number(a), number(b))
    TEXT_METHOD(GPKI_EnumCertsToString, (LONG a, BSTR* pVal), number(a))
    TEXT_METHOD(GPKI_Base64Encode, (BSTR a, BSTR b, BSTR* pVal), text(a), text(b))
    TEXT_METHOD(GPKI_Base64Decode, (BSTR a, BSTR b, BSTR* pVal), text(a), text(b))
    TEXT_METHOD(GPKI_DecryptEx, (BSTR a, BSTR b, LONG c, LONG d, BSTR* pVal), text(a), text(b),
                number(c), number(d))
    NUMBER_METHOD(GPKI_SignDataInit, (BSTR a, LONG b, LONG* pVal), text(a), number(b))
    NUMBER_METHOD(GPKI_SignDataFinal, (LONG a, LONG* pVal), number(a))
    TEXT_METHOD(GPKI_XMLSignTemplateFile, (BSTR a, BSTR b, BSTR c, LONG d, BSTR* pVal), text(a),
                text(b), text(c), number(d))
    TEXT_METHOD(GPKI_XMLCalcTemplateDigest, (BSTR a, BSTR b, BSTR* pVal), text(a), text(b))
    TEXT_METHOD(GPKI_XMLCalcTemplateFileDigest, (BSTR a, BSTR b, BSTR* pVal), text(a), text(b))
    TEXT_METHOD(GPKI_XMLSignTemplateDigest, (BSTR a, BSTR b, BSTR c, LONG d, BSTR* pVal), text(a),
                text(b), text(c), number(d))
    TEXT_METHOD(GPKI_ReadFile, (BSTR a, LONG b, BSTR* pVal), text(a), number(b))
    TEXT_METHOD(GPKI_XMLSignTemplateFileUpdate, (BSTR a, BSTR b, LONG c, BSTR* pVal), text(a),
                text(b), number(c))
    NUMBER_METHOD(GPKI_SignInit, (BSTR a, LONG b, LONG* pVal), text(a), number(b))
    NUMBER_METHOD(GPKI_SignFinal, (LONG a, LONG* pVal), number(a))
    TEXT_METHOD(GPKI_XMLSignTemplateDigestUpdate, (BSTR a, BSTR b, LONG c, BSTR* pVal), text(a),
                text(b), number(c))
    NUMBER_METHOD(GPKI_SetPKCS11Driver, (BSTR a, LONG* pVal), text(a))

    HRESULT SetXMLReferenceDirs(BSTR a) override {
        return record("SetXMLReferenceDirs", {text(a)});
    }

    TEXT_METHOD(GPKI_GetSerialNumber, (BSTR * pVal))
    TEXT_METHOD(GPKI_RSADecrypt, (BSTR a, BSTR b, LONG c, BSTR* pVal), text(a), text(b), number(c))
    TEXT_METHOD(GPKI_RSAEncryptByCert, (BSTR a, BSTR b, LONG c, BSTR* pVal), text(a), text(b),
                number(c))
    TEXT_METHOD(GPKI_XMLSignTemplateUpdate, (BSTR a, BSTR b, LONG c, BSTR* pVal), text(a), text(b),
                number(c))
    NUMBER_METHOD(GPKI_XMLSignTemplateFile2File,
                  (BSTR a, BSTR b, BSTR c, BSTR d, LONG e, LONG* pVal), text(a), text(b), text(c),
                  text(d), number(e))
    NUMBER_METHOD(GPKI_XMLSignTemplateDigest2File,
                  (BSTR a, BSTR b, BSTR c, BSTR d, LONG e, LONG* pVal), text(a), text(b), text(c),
                  text(d), number(e))
    TEXT_METHOD(GPKI_GetAttributeCert, (BSTR a, BSTR b, LONG c, BSTR* pVal), text(a), text(b),
                number(c))

    HRESULT SetCodePage(LONG a) override {
        return record("SetCodePage", {number(a)});
    }

    NUMBER_METHOD(GPKI_GetSlotCount, (LONG * pVal))
    NUMBER_METHOD(GPKI_VerifyPIN, (BSTR a, LONG b, LONG* pVal), text(a), number(b))
    NUMBER_METHOD(GPKI_GetErrorPINCount, (LONG * pVal))
    TEXT_METHOD(GetVersion, (LONG a, BSTR* pVal), number(a))
    TEXT_METHOD(GPKI_SignData, (BSTR a, BSTR b, BSTR c, LONG d, LONG e, BSTR* pVal), text(a),
                text(b), text(c), number(d), number(e))
    TEXT_METHOD(GPKI_SignDataUpdate, (BSTR a, BSTR b, LONG c, LONG d, BSTR* pVal), text(a), text(b),
                number(c), number(d))
    TEXT_METHOD(GPKI_PureSign, (BSTR a, BSTR b, BSTR c, LONG d, LONG e, BSTR* pVal), text(a),
                text(b), text(c), number(d), number(e))
    TEXT_METHOD(CryptCertGetSignatureAlgorithm, (BSTR a, LONG b, BSTR* pVal), text(a), number(b))
    TEXT_METHOD(CryptSignatureGetAlgorithm, (BSTR a, LONG b, LONG c, BSTR* pVal), text(a),
                number(b), number(c))
    NUMBER_METHOD(GPKI_SignInitLogin, (BSTR a, LONG b, LONG* pVal), text(a), number(b))
    NUMBER_METHOD(GPKI_DetectCard, (LONG a, LONG* pVal), number(a))
    TEXT_METHOD(GPKI_GetCachedCert, (BSTR * pVal))
    TEXT_METHOD(GPKI_CertGetSubjectDirectoryAttrs, (BSTR a, BSTR b, LONG c, BSTR* pVal), text(a),
                text(b), number(c))
    TEXT_METHOD(CryptCertGetExtension, (BSTR a, LONG b, BSTR* pVal), text(a), number(b))
    NUMBER_METHOD(SetDialogString, (LONG a, LONG b, BSTR c, LONG* pVal), number(a), number(b),
                  text(c))
};

struct Factory final : IClassFactory {
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IClassFactory) {
            *ppv = static_cast<IClassFactory*>(this);
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    // One static factory for the life of the library.
    ULONG AddRef() override { return 2; }
    ULONG Release() override { return 1; }
    HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
        if (ppv == nullptr)
            return E_POINTER;
        *ppv = nullptr;
        if (outer != nullptr)
            return CLASS_E_NOAGGREGATION;
        TestComponent* object = new (std::nothrow) TestComponent();
        if (object == nullptr)
            return E_OUTOFMEMORY;
        HRESULT hr = object->QueryInterface(riid, ppv);
        object->Release();
        return hr;
    }
    HRESULT LockServer(BOOL) override { return S_OK; }
};

Factory factory;

} // namespace

TEST_EXPORT HRESULT DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv) noexcept {
    if (ppv == nullptr)
        return E_POINTER;
    *ppv = nullptr;
    if (rclsid != CLSID_GpkiComponent)
        return CLASS_E_CLASSNOTAVAILABLE;
    return factory.QueryInterface(riid, ppv);
}

TEST_EXPORT void testComponentReset() noexcept {
    Recorder& r = recorder();
    std::lock_guard<std::mutex> hold(r.mutex);
    r.calls = 0;
    r.lastMethod.clear();
    r.lastArguments.clear();
    r.textArguments.clear();
    r.failure = S_OK;
    r.nullText = false;
    r.textAnswer.clear();
    r.textAnswerSet = false;
    r.numberAnswer = 42;
    r.enumMode = kEnumThreeStrings;
    r.createdObjects = 0;
}

TEST_EXPORT int testComponentCallCount() noexcept {
    std::lock_guard<std::mutex> hold(recorder().mutex);
    return recorder().calls;
}

TEST_EXPORT const char* testComponentLastMethod() noexcept {
    std::lock_guard<std::mutex> hold(recorder().mutex);
    return recorder().lastMethod.c_str();
}

TEST_EXPORT const char* testComponentLastArguments() noexcept {
    std::lock_guard<std::mutex> hold(recorder().mutex);
    return recorder().lastArguments.c_str();
}

TEST_EXPORT bool testComponentTextArgument(int index, const void** outAddress,
                                           size_t* outBytes) noexcept {
    std::lock_guard<std::mutex> hold(recorder().mutex);
    const std::vector<TextArgument>& list = recorder().textArguments;
    if (index < 0 || (size_t)index >= list.size() || outAddress == nullptr || outBytes == nullptr)
        return false;
    *outAddress = list[(size_t)index].address;
    *outBytes = list[(size_t)index].bytes;
    return true;
}

TEST_EXPORT void testComponentSetFailure(HRESULT hr) noexcept {
    std::lock_guard<std::mutex> hold(recorder().mutex);
    recorder().failure = hr;
}

TEST_EXPORT void testComponentSetTextAnswer(const char* text) noexcept {
    std::lock_guard<std::mutex> hold(recorder().mutex);
    recorder().nullText = text == nullptr;
    recorder().textAnswerSet = text != nullptr;
    recorder().textAnswer = text != nullptr ? text : "";
}

TEST_EXPORT void testComponentSetNumberAnswer(LONG number) noexcept {
    recorder().numberAnswer = number;
}

TEST_EXPORT void testComponentSetEnumMode(int mode) noexcept {
    recorder().enumMode = mode;
}

TEST_EXPORT int testComponentLiveObjects() noexcept {
    return recorder().liveObjects.load();
}

TEST_EXPORT int testComponentCreatedObjects() noexcept {
    return recorder().createdObjects.load();
}
