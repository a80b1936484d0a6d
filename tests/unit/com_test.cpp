// Unit tests of our minimal COM: BSTR, the UTF-8/UTF-16 conversions, VARIANT
// and SAFEARRAY handling, error objects and class creation through a
// registration file (against the test component, a real shared library).

#include "common/com/Com.h"
#include "common/com/ComText.h"
#include "common/com/GpkiComponent.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

std::string utf8(BSTR b) {
    char* text = nullptr;
    EXPECT_EQ(utf8FromBstr(b, &text), S_OK);
    std::string s = text != nullptr ? text : "";
    free(text);
    return s;
}

// A temporary registry folder, KESTROVA_COM_REGISTRY pointing at it.
class Registry {
  public:
    Registry() {
        char pattern[] = "/tmp/kestrova-com-XXXXXX";
        const char* made = mkdtemp(pattern);
        folder_ = made != nullptr ? made : "";
        setenv("KESTROVA_COM_REGISTRY", folder_.c_str(), 1);
    }
    ~Registry() {
        unsetenv("KESTROVA_COM_REGISTRY");
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }
    void registerClass(REFCLSID clsid, const std::string& line) {
        char name[40];
        guidToText(clsid, name, sizeof name);
        std::ofstream(folder_ + "/" + name + ".component") << line;
    }
    const std::string& folder() const { return folder_; }

  private:
    std::string folder_;
};

} // namespace

// ---------------------------------------------------------------------------
// BSTR and text
// ---------------------------------------------------------------------------

TEST(Bstr, LengthPrefixAndEmbeddedZero) {
    const char16_t source[] = {u'a', 0, u'b'};
    BSTR b = SysAllocStringLen(source, 3);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(SysStringLen(b), 3u);
    EXPECT_EQ(SysStringByteLen(b), 6u);
    EXPECT_EQ(b[1], 0);
    EXPECT_EQ(b[3], 0) << "always terminated";
    SysFreeString(b);

    BSTR copy = SysAllocString(u"hello");
    EXPECT_EQ(SysStringLen(copy), 5u);
    SysFreeString(copy);

    EXPECT_EQ(SysAllocString(nullptr), nullptr);
    EXPECT_EQ(SysStringLen(nullptr), 0u);
    SysFreeString(nullptr);

    BSTR zeroed = SysAllocStringLen(nullptr, 4);
    ASSERT_NE(zeroed, nullptr);
    for (int i = 0; i <= 4; i++)
        EXPECT_EQ(zeroed[i], 0);
    SysFreeString(zeroed);
}

TEST(ComText, Utf8RoundTripAndMalformedInput) {
    struct Case {
        const char* input;
        const char16_t* wide;
        const char* back;
    };
    const Case cases[] = {
        {"", u"", ""},
        {"abc", u"abc", "abc"},
        {"h\xC3\xA9llo \xE2\x82\xAC", u"h\u00e9llo \u20ac", "h\xC3\xA9llo \xE2\x82\xAC"},
        // A character outside the basic plane becomes a surrogate pair.
        {"\xF0\x9D\x84\x9E", u"\U0001D11E", "\xF0\x9D\x84\x9E"},
        // Malformed bytes become U+FFFD, one per byte that starts no sequence.
        {"a\xFFz", u"a\uFFFDz", "a\xEF\xBF\xBDz"},
        {"\xC3", u"\uFFFD", "\xEF\xBF\xBD"},
        {"\xC0\xAF", u"\uFFFD\uFFFD", "\xEF\xBF\xBD\xEF\xBF\xBD"}, // overlong "/"
        {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
    };
    for (const Case& c : cases) {
        BSTR b = nullptr;
        ASSERT_EQ(bstrFromUtf8(c.input, &b), S_OK) << c.input;
        std::u16string expected(c.wide);
        EXPECT_EQ(std::u16string(b != nullptr ? b : u"", SysStringLen(b)), expected) << c.input;
        EXPECT_EQ(utf8(b), c.back) << c.input;
        SysFreeString(b);
    }

    BSTR none = reinterpret_cast<BSTR>(1);
    EXPECT_EQ(bstrFromUtf8(nullptr, &none), S_OK);
    EXPECT_EQ(none, nullptr) << "a null text is a null BSTR";
    EXPECT_EQ(bstrFromUtf8("x", nullptr), E_POINTER);
    EXPECT_EQ(utf8(nullptr), "");

    // An unpaired surrogate from the component is replaced, not passed on.
    const char16_t lone[] = {u'a', 0xD800, u'b'};
    char* text = nullptr;
    ASSERT_EQ(utf8FromWide(lone, 3, &text), S_OK);
    EXPECT_STREQ(text, "a\xEF\xBF\xBD"
                       "b");
    free(text);
}

TEST(ComText, SecureFreeWipesAndNulls) {
    BSTR pin = nullptr;
    ASSERT_EQ(bstrFromUtf8("123456", &pin), S_OK);
    secureFreeBstr(&pin);
    EXPECT_EQ(pin, nullptr);
    secureFreeBstr(&pin); // twice is harmless
    secureFreeBstr(nullptr);
}

// ---------------------------------------------------------------------------
// VARIANT and SAFEARRAY
// ---------------------------------------------------------------------------

TEST(Variant, ChangeTypeToText) {
    struct Case {
        VARTYPE vt;
        int64_t value;
        WORD flags;
        const char* expected;
    };
    const Case cases[] = {
        {VT_I4, 12345, 0, "12345"},
        {VT_I4, -2147483647 - 1, 0, "-2147483648"},
        {VT_INT, -7, 0, "-7"},
        {VT_BOOL, VARIANT_TRUE, 0, "-1"},
        {VT_BOOL, VARIANT_FALSE, 0, "0"},
        {VT_BOOL, VARIANT_TRUE, VARIANT_ALPHABOOL, "True"},
        {VT_EMPTY, 0, 0, ""},
    };
    for (const Case& c : cases) {
        VARIANT v;
        VariantInit(&v);
        v.vt = c.vt;
        if (c.vt == VT_BOOL)
            v.boolVal = (VARIANT_BOOL)c.value;
        else
            v.lVal = (LONG)c.value;
        VARIANT out;
        VariantInit(&out);
        ASSERT_EQ(VariantChangeType(&out, &v, c.flags, VT_BSTR), S_OK);
        ASSERT_EQ(out.vt, VT_BSTR);
        EXPECT_EQ(utf8(out.bstrVal), c.expected);
        VariantClear(&out);
        // In place: the source itself becomes the text.
        ASSERT_EQ(VariantChangeType(&v, &v, c.flags, VT_BSTR), S_OK);
        EXPECT_EQ(utf8(v.bstrVal), c.expected);
        VariantClear(&v);
    }
}

TEST(Variant, ChangeTypeRefusalsLeaveDestinationAlone) {
    VARIANT text;
    VariantInit(&text);
    text.vt = VT_BSTR;
    ASSERT_EQ(bstrFromUtf8("99999999999", &text.bstrVal), S_OK);
    VARIANT out;
    VariantInit(&out);
    out.vt = VT_I4;
    out.lVal = 3;
    EXPECT_EQ(VariantChangeType(&out, &text, 0, VT_I4), DISP_E_OVERFLOW);
    EXPECT_EQ(out.vt, VT_I4);
    EXPECT_EQ(out.lVal, 3);
    VariantClear(&text);

    text.vt = VT_BSTR;
    ASSERT_EQ(bstrFromUtf8(" -42 ", &text.bstrVal), S_OK);
    ASSERT_EQ(VariantChangeType(&out, &text, 0, VT_I4), S_OK);
    EXPECT_EQ(out.lVal, -42);
    VariantClear(&text);

    VARIANT null;
    VariantInit(&null);
    null.vt = VT_NULL;
    EXPECT_EQ(VariantChangeType(&out, &null, 0, VT_BSTR), DISP_E_TYPEMISMATCH);

    VARIANT odd;
    VariantInit(&odd);
    odd.vt = 0x77;
    EXPECT_EQ(VariantClear(&odd), DISP_E_BADVARTYPE);
}

TEST(SafeArray, VectorOfVariantsDeepCopyAndBounds) {
    SAFEARRAY* array = SafeArrayCreateVector(VT_VARIANT, 2, 3);
    ASSERT_NE(array, nullptr);
    EXPECT_EQ(SafeArrayGetDim(array), 1u);
    VARTYPE vt = 0;
    ASSERT_EQ(SafeArrayGetVartype(array, &vt), S_OK);
    EXPECT_EQ(vt, VT_VARIANT);
    LONG lower = 0, upper = 0;
    ASSERT_EQ(SafeArrayGetLBound(array, 1, &lower), S_OK);
    ASSERT_EQ(SafeArrayGetUBound(array, 1, &upper), S_OK);
    EXPECT_EQ(lower, 2);
    EXPECT_EQ(upper, 4);
    EXPECT_EQ(SafeArrayGetLBound(array, 2, &lower), DISP_E_BADINDEX);

    VARIANT element;
    VariantInit(&element);
    element.vt = VT_BSTR;
    ASSERT_EQ(bstrFromUtf8("first", &element.bstrVal), S_OK);
    LONG index = 2;
    ASSERT_EQ(SafeArrayPutElement(array, &index, &element), S_OK);
    // The array keeps its own copy; replacing an element frees the old one.
    ASSERT_EQ(SafeArrayPutElement(array, &index, &element), S_OK);
    VariantClear(&element);
    element.vt = VT_I4;
    element.lVal = 7;
    index = 4;
    ASSERT_EQ(SafeArrayPutElement(array, &index, &element), S_OK);
    index = 5;
    EXPECT_EQ(SafeArrayPutElement(array, &index, &element), DISP_E_BADINDEX);
    index = 1;
    EXPECT_EQ(SafeArrayGetElement(array, &index, &element), DISP_E_BADINDEX);

    VARIANT holder;
    VariantInit(&holder);
    holder.vt = VT_ARRAY | VT_VARIANT;
    holder.parray = array;
    VARIANT copy;
    VariantInit(&copy);
    ASSERT_EQ(VariantCopy(&copy, &holder), S_OK);
    ASSERT_NE(copy.parray, array);
    VariantClear(&holder); // the copy must not depend on the original

    VARIANT out;
    index = 2;
    ASSERT_EQ(SafeArrayGetElement(copy.parray, &index, &out), S_OK);
    EXPECT_EQ(out.vt, VT_BSTR);
    EXPECT_EQ(utf8(out.bstrVal), "first");
    VariantClear(&out);
    index = 3;
    ASSERT_EQ(SafeArrayGetElement(copy.parray, &index, &out), S_OK);
    EXPECT_EQ(out.vt, VT_EMPTY);
    index = 4;
    ASSERT_EQ(SafeArrayGetElement(copy.parray, &index, &out), S_OK);
    EXPECT_EQ(out.vt, VT_I4);
    EXPECT_EQ(out.lVal, 7);

    ASSERT_EQ(SafeArrayLock(copy.parray), S_OK);
    EXPECT_EQ(SafeArrayDestroy(copy.parray), DISP_E_ARRAYISLOCKED);
    ASSERT_EQ(SafeArrayUnlock(copy.parray), S_OK);
    EXPECT_EQ(VariantClear(&copy), S_OK);
}

TEST(SafeArray, EmptyAndStringArrays) {
    SAFEARRAY* empty = SafeArrayCreateVector(VT_VARIANT, 0, 0);
    ASSERT_NE(empty, nullptr);
    LONG lower = 1, upper = 1;
    ASSERT_EQ(SafeArrayGetLBound(empty, 1, &lower), S_OK);
    ASSERT_EQ(SafeArrayGetUBound(empty, 1, &upper), S_OK);
    EXPECT_EQ(upper, lower - 1);
    EXPECT_EQ(SafeArrayDestroy(empty), S_OK);

    SAFEARRAY* strings = SafeArrayCreateVector(VT_BSTR, 0, 2);
    ASSERT_NE(strings, nullptr);
    BSTR b = nullptr;
    ASSERT_EQ(bstrFromUtf8("kept", &b), S_OK);
    LONG index = 1;
    ASSERT_EQ(SafeArrayPutElement(strings, &index, b), S_OK);
    SysFreeString(b);
    BSTR out = nullptr;
    ASSERT_EQ(SafeArrayGetElement(strings, &index, &out), S_OK);
    EXPECT_EQ(utf8(out), "kept");
    SysFreeString(out);
    EXPECT_EQ(SafeArrayDestroy(strings), S_OK); // frees its BSTR (leak check)

    EXPECT_EQ(SafeArrayCreateVector(0x77, 0, 1), nullptr);
    EXPECT_EQ(SafeArrayCreateVector(VT_VARIANT, 0, 0x7FFFFFFF), nullptr) << "capped";
}

// ---------------------------------------------------------------------------
// GUIDs
// ---------------------------------------------------------------------------

TEST(Guid, TextFormIsUpperCaseAndRoundTrips) {
    char text[40];
    guidToText(CLSID_GpkiComponent, text, sizeof text);
    EXPECT_STREQ(text, "{4B91F9EF-F244-622E-CE84-9671A85BDFE5}");
    guidToText(IID_IGpkiComponent, text, sizeof text);
    EXPECT_STREQ(text, "{DBB2E4AE-442A-44C6-95D9-02DAB038E474}");
    GUID parsed;
    ASSERT_TRUE(guidFromText("{dbb2e4ae-442a-44c6-95d9-02dab038e474}", &parsed));
    EXPECT_TRUE(IsEqualGUID(parsed, IID_IGpkiComponent));
    EXPECT_FALSE(guidFromText("{DBB2E4AE-442A-44C6-95D9-02DAB038E47}", &parsed));
    EXPECT_FALSE(guidFromText("DBB2E4AE-442A-44C6-95D9-02DAB038E474", &parsed));
}

// ---------------------------------------------------------------------------
// Class creation
// ---------------------------------------------------------------------------

TEST(CoCreateInstance, ThroughRegistrationFile) {
    Registry registry;
    ASSERT_FALSE(registry.folder().empty());
    CoInitialize(nullptr);

    IUnknown* unknown = nullptr;
    EXPECT_EQ(CoCreateInstance(CLSID_GpkiComponent, nullptr, CLSCTX_ALL, IID_IUnknown,
                               reinterpret_cast<void**>(&unknown)),
              REGDB_E_CLASSNOTREG);
    EXPECT_EQ(unknown, nullptr);

    // The file's one line, with a line end and blanks around it.
    registry.registerClass(CLSID_GpkiComponent,
                           std::string("  ") + KESTROVA_TEST_COMPONENT_FILE + "  \r\n");
    ASSERT_EQ(CoCreateInstance(CLSID_GpkiComponent, nullptr, CLSCTX_ALL, IID_IUnknown,
                               reinterpret_cast<void**>(&unknown)),
              S_OK);
    ASSERT_NE(unknown, nullptr);
    EXPECT_EQ(OleRun(unknown), S_OK);
    IGpkiComponent* component = nullptr;
    ASSERT_EQ(unknown->QueryInterface(IID_IGpkiComponent, reinterpret_cast<void**>(&component)),
              S_OK);
    unknown->Release();

    // Through the table: a text method and its BSTR result.
    BSTR cert = nullptr;
    ASSERT_EQ(bstrFromUtf8("certificate", &cert), S_OK);
    BSTR subject = nullptr;
    ASSERT_EQ(component->CAPICertGetSubject(cert, 0, &subject), S_OK);
    EXPECT_EQ(utf8(subject), "answer:CAPICertGetSubject");
    SysFreeString(subject);
    SysFreeString(cert);
    component->Release();

    IUnknown* outer = reinterpret_cast<IUnknown*>(&registry);
    EXPECT_EQ(CoCreateInstance(CLSID_GpkiComponent, outer, CLSCTX_ALL, IID_IUnknown,
                               reinterpret_cast<void**>(&unknown)),
              CLASS_E_NOAGGREGATION);
    EXPECT_EQ(CoCreateInstance(CLSID_GpkiComponent, nullptr, CLSCTX_ALL, IID_IUnknown, nullptr),
              E_POINTER);
    // The library knows only its own class.
    registry.registerClass(IID_IGpkiComponent, KESTROVA_TEST_COMPONENT_FILE);
    EXPECT_EQ(CoCreateInstance(IID_IGpkiComponent, nullptr, CLSCTX_ALL, IID_IUnknown,
                               reinterpret_cast<void**>(&unknown)),
              CLASS_E_CLASSNOTAVAILABLE);
    CoUninitialize();
}

TEST(CoCreateInstance, BrokenRegistrations) {
    Registry registry;
    IUnknown* unknown = nullptr;
    registry.registerClass(CLSID_GpkiComponent, registry.folder() + "/missing.so");
    EXPECT_EQ(CoCreateInstance(CLSID_GpkiComponent, nullptr, CLSCTX_ALL, IID_IUnknown,
                               reinterpret_cast<void**>(&unknown)),
              CO_E_DLLNOTFOUND);
    registry.registerClass(CLSID_GpkiComponent, "   \n");
    EXPECT_EQ(CoCreateInstance(CLSID_GpkiComponent, nullptr, CLSCTX_ALL, IID_IUnknown,
                               reinterpret_cast<void**>(&unknown)),
              REGDB_E_CLASSNOTREG);
#ifdef KESTROVA_ADAPTER_FILE
    // A library without DllGetClassObject.
    registry.registerClass(CLSID_GpkiComponent, KESTROVA_ADAPTER_FILE);
    EXPECT_EQ(CoCreateInstance(CLSID_GpkiComponent, nullptr, CLSCTX_ALL, IID_IUnknown,
                               reinterpret_cast<void**>(&unknown)),
              CO_E_ERRORINDLL);
#endif
    // A file far longer than any path is not a registration.
    registry.registerClass(CLSID_GpkiComponent, std::string(10000, 'a'));
    EXPECT_EQ(CoCreateInstance(CLSID_GpkiComponent, nullptr, CLSCTX_ALL, IID_IUnknown,
                               reinterpret_cast<void**>(&unknown)),
              REGDB_E_CLASSNOTREG);
    EXPECT_EQ(unknown, nullptr);
}

TEST(CoCreateInstance, RegistryFolderDefaultsToExecutePath) {
    unsetenv("KESTROVA_COM_REGISTRY");
    char folder[4096];
    comRegistryFolder(folder, sizeof folder);
    std::string expected =
        std::filesystem::read_symlink("/proc/self/exe").parent_path().string() + "/com";
    EXPECT_EQ(std::string(folder), expected);
    setenv("KESTROVA_COM_REGISTRY", "/some/where/", 1);
    comRegistryFolder(folder, sizeof folder);
    EXPECT_STREQ(folder, "/some/where");
    unsetenv("KESTROVA_COM_REGISTRY");
}

// ---------------------------------------------------------------------------
// Error objects and _com_error
// ---------------------------------------------------------------------------

namespace {

struct ErrorSource final : ISupportErrorInfo {
    HRESULT supports = S_OK;
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (riid == IID_IUnknown || riid == IID_ISupportErrorInfo) {
            *ppv = this;
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return 2; }
    ULONG Release() override { return 1; }
    HRESULT InterfaceSupportsErrorInfo(REFIID riid) override {
        return riid == IID_IGpkiComponent ? supports : S_FALSE;
    }
};

} // namespace

TEST(ComError, CarriesCodeAndErrorObjectWhenSupported) {
    ErrorSource source;
    IErrorInfo* info = nullptr;
    ASSERT_EQ(createErrorInfo(IID_IGpkiComponent, "Test", "card removed", &info), S_OK);
    ASSERT_EQ(SetErrorInfo(0, info), S_OK);
    info->Release();
    try {
        _com_issue_errorex(E_FAIL, &source, IID_IGpkiComponent);
        FAIL() << "no exception";
    } catch (const _com_error& error) {
        EXPECT_EQ(error.Error(), E_FAIL);
        ASSERT_NE(error.ErrorInfo(), nullptr);
        BSTR description = nullptr;
        ASSERT_EQ(error.ErrorInfo()->GetDescription(&description), S_OK);
        EXPECT_EQ(utf8(description), "card removed");
        SysFreeString(description);
        _com_error copy = error; // copies share the object safely
        EXPECT_EQ(copy.ErrorInfo(), error.ErrorInfo());
    }
    // The object was handed over: the thread has none left.
    IErrorInfo* left = nullptr;
    EXPECT_EQ(GetErrorInfo(0, &left), S_FALSE);

    // An object that does not support error objects for the interface.
    ASSERT_EQ(createErrorInfo(IID_IGpkiComponent, "Test", "stale", &info), S_OK);
    SetErrorInfo(0, info);
    info->Release();
    source.supports = S_FALSE;
    try {
        _com_issue_errorex(E_POINTER, &source, IID_IGpkiComponent);
    } catch (const _com_error& error) {
        EXPECT_EQ(error.Error(), E_POINTER);
        EXPECT_EQ(error.ErrorInfo(), nullptr);
    }
    SetErrorInfo(0, nullptr);
    EXPECT_STREQ(_com_error(E_OUTOFMEMORY).ErrorMessage(),
                 "Not enough memory resources are available to complete this operation");
}
