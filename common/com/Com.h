#pragma once
// A minimal COM of our own: the types, codes, interfaces and calls the adapter
// and the GPKI component share (HRESULT, GUID, BSTR, VARIANT, SAFEARRAY,
// IUnknown, IDispatch, IClassFactory, error objects, class creation through a
// registration file). Interfaces are abstract structs whose virtual functions
// follow the standard vtable order, so an object made by one library is
// called through the same table by another.
//
// Every library that links kestrova_com carries its own copy of this code.
// BSTRs, VARIANTs and SAFEARRAYs still cross between those copies freely: the
// layouts are fixed here and every block comes from the process's malloc.

#include <cstddef>
#include <cstdint>

// ---------------------------------------------------------------------------
// Scalar types
// ---------------------------------------------------------------------------

typedef int32_t HRESULT;
typedef int32_t LONG; // 32 bits, as the component's "long" parameters are
typedef uint32_t ULONG;
typedef uint32_t DWORD;
typedef uint16_t WORD;
typedef uint32_t UINT;
typedef int32_t INT;
typedef int32_t BOOL;
typedef uint32_t LCID;
typedef LONG DISPID;
typedef char16_t OLECHAR;
typedef OLECHAR* BSTR;
typedef OLECHAR* LPOLESTR;
typedef const OLECHAR* LPCOLESTR;
typedef uint16_t VARTYPE;
typedef int16_t VARIANT_BOOL;

#define VARIANT_TRUE ((VARIANT_BOOL)-1)
#define VARIANT_FALSE ((VARIANT_BOOL)0)

// ---------------------------------------------------------------------------
// Result codes
// ---------------------------------------------------------------------------

#define SUCCEEDED(hr) (((HRESULT)(hr)) >= 0)
#define FAILED(hr) (((HRESULT)(hr)) < 0)

#define S_OK ((HRESULT)0)
#define S_FALSE ((HRESULT)1)
#define E_NOTIMPL ((HRESULT)0x80004001)
#define E_NOINTERFACE ((HRESULT)0x80004002)
#define E_POINTER ((HRESULT)0x80004003)
#define E_ABORT ((HRESULT)0x80004004)
#define E_FAIL ((HRESULT)0x80004005)
#define E_UNEXPECTED ((HRESULT)0x8000FFFF)
#define E_ACCESSDENIED ((HRESULT)0x80070005)
#define E_HANDLE ((HRESULT)0x80070006)
#define E_OUTOFMEMORY ((HRESULT)0x8007000E)
#define E_INVALIDARG ((HRESULT)0x80070057)
#define CLASS_E_NOAGGREGATION ((HRESULT)0x80040110)
#define CLASS_E_CLASSNOTAVAILABLE ((HRESULT)0x80040111)
#define REGDB_E_CLASSNOTREG ((HRESULT)0x80040154)
#define CO_E_NOTINITIALIZED ((HRESULT)0x800401F0)
#define CO_E_DLLNOTFOUND ((HRESULT)0x800401F8)
#define CO_E_ERRORINDLL ((HRESULT)0x800401F9)
#define DISP_E_UNKNOWNINTERFACE ((HRESULT)0x80020001)
#define DISP_E_MEMBERNOTFOUND ((HRESULT)0x80020003)
#define DISP_E_PARAMNOTFOUND ((HRESULT)0x80020004)
#define DISP_E_TYPEMISMATCH ((HRESULT)0x80020005)
#define DISP_E_UNKNOWNNAME ((HRESULT)0x80020006)
#define DISP_E_NONAMEDARGS ((HRESULT)0x80020007)
#define DISP_E_BADVARTYPE ((HRESULT)0x80020008)
#define DISP_E_EXCEPTION ((HRESULT)0x80020009)
#define DISP_E_OVERFLOW ((HRESULT)0x8002000A)
#define DISP_E_BADINDEX ((HRESULT)0x8002000B)
#define DISP_E_ARRAYISLOCKED ((HRESULT)0x8002000D)
#define DISP_E_BADPARAMCOUNT ((HRESULT)0x8002000E)
#define DISP_E_PARAMNOTOPTIONAL ((HRESULT)0x8002000F)

// Class contexts (only recorded: every class here is in-process).
#define CLSCTX_INPROC_SERVER 0x1
#define CLSCTX_INPROC_HANDLER 0x2
#define CLSCTX_LOCAL_SERVER 0x4
#define CLSCTX_REMOTE_SERVER 0x10
#define CLSCTX_ALL 0x17

// ---------------------------------------------------------------------------
// GUIDs
// ---------------------------------------------------------------------------

struct GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
};
typedef GUID CLSID;
typedef GUID IID;
typedef const GUID& REFGUID;
typedef const CLSID& REFCLSID;
typedef const IID& REFIID;

bool IsEqualGUID(REFGUID a, REFGUID b) noexcept;
inline bool operator==(REFGUID a, REFGUID b) noexcept {
    return IsEqualGUID(a, b);
}
inline bool operator!=(REFGUID a, REFGUID b) noexcept {
    return !IsEqualGUID(a, b);
}
#define IsEqualIID(a, b) IsEqualGUID((a), (b))
#define IsEqualCLSID(a, b) IsEqualGUID((a), (b))

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" in upper case into out (at least 39
// bytes, terminated).
void guidToText(REFGUID guid, char* out, size_t outLength) noexcept;
// Parses the braced form (either case). False, out unchanged, on bad text.
bool guidFromText(const char* text, GUID* out) noexcept;

extern const IID IID_NULL;
extern const IID IID_IUnknown;
extern const IID IID_IDispatch;
extern const IID IID_IClassFactory;
extern const IID IID_ISupportErrorInfo;
extern const IID IID_IErrorInfo;

// ---------------------------------------------------------------------------
// Interfaces, standard vtable order
// ---------------------------------------------------------------------------

struct IUnknown {
    virtual HRESULT QueryInterface(REFIID riid, void** ppvObject) = 0;
    virtual ULONG AddRef() = 0;
    virtual ULONG Release() = 0;
};

struct ITypeInfo; // never used; only IDispatch's signature names it

struct VARIANT;
struct DISPPARAMS {
    VARIANT* rgvarg;
    DISPID* rgdispidNamedArgs;
    UINT cArgs;
    UINT cNamedArgs;
};

struct EXCEPINFO {
    WORD wCode;
    WORD wReserved;
    BSTR bstrSource;
    BSTR bstrDescription;
    BSTR bstrHelpFile;
    DWORD dwHelpContext;
    void* pvReserved;
    HRESULT (*pfnDeferredFillIn)(EXCEPINFO*);
    HRESULT scode;
};

struct IDispatch : IUnknown {
    virtual HRESULT GetTypeInfoCount(UINT* pctinfo) = 0;
    virtual HRESULT GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) = 0;
    virtual HRESULT GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid,
                                  DISPID* rgDispId) = 0;
    virtual HRESULT Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags,
                           DISPPARAMS* pDispParams, VARIANT* pVarResult, EXCEPINFO* pExcepInfo,
                           UINT* puArgErr) = 0;
};

struct IClassFactory : IUnknown {
    virtual HRESULT CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppvObject) = 0;
    virtual HRESULT LockServer(BOOL fLock) = 0;
};

struct ISupportErrorInfo : IUnknown {
    // S_OK when the object sets error objects for calls on riid, else S_FALSE.
    virtual HRESULT InterfaceSupportsErrorInfo(REFIID riid) = 0;
};

struct IErrorInfo : IUnknown {
    virtual HRESULT GetGUID(GUID* pGUID) = 0;
    virtual HRESULT GetSource(BSTR* pBstrSource) = 0;
    virtual HRESULT GetDescription(BSTR* pBstrDescription) = 0;
    virtual HRESULT GetHelpFile(BSTR* pBstrHelpFile) = 0;
    virtual HRESULT GetHelpContext(DWORD* pdwHelpContext) = 0;
};

// What a component library exports (C linkage) so CoCreateInstance finds it.
typedef HRESULT (*DllGetClassObjectFunction)(REFCLSID rclsid, REFIID riid, void** ppv);
#define KESTROVA_COM_CLASS_OBJECT_EXPORT "DllGetClassObject"

// ---------------------------------------------------------------------------
// BSTR: a char16_t text preceded by a 32-bit byte length, always terminated.
// A null BSTR is a valid empty text.
// ---------------------------------------------------------------------------

// New BSTR copied from a terminated text; null for a null text or no memory.
BSTR SysAllocString(const OLECHAR* psz) noexcept;
// New BSTR of length characters, copied from psz (which may hold NULs) or
// zero-filled when psz is null. Null when no memory.
BSTR SysAllocStringLen(const OLECHAR* psz, UINT length) noexcept;
// Characters (not counting the terminator); 0 for null.
UINT SysStringLen(BSTR bstr) noexcept;
// Bytes of the text (not counting the terminator); 0 for null.
UINT SysStringByteLen(BSTR bstr) noexcept;
// Frees; null ignored. Does not wipe: see secureFreeBstr in ComText.h.
void SysFreeString(BSTR bstr) noexcept;

// ---------------------------------------------------------------------------
// VARIANT and SAFEARRAY (the subset the adapter and component exchange)
// ---------------------------------------------------------------------------

enum VARENUM : VARTYPE {
    VT_EMPTY = 0,
    VT_NULL = 1,
    VT_I2 = 2,
    VT_I4 = 3,
    VT_BSTR = 8,
    VT_DISPATCH = 9,
    VT_ERROR = 10,
    VT_BOOL = 11,
    VT_VARIANT = 12,
    VT_UNKNOWN = 13,
    VT_UI1 = 17,
    VT_UI4 = 19,
    VT_INT = 22,
    VT_UINT = 23,
    VT_ARRAY = 0x2000,
    VT_BYREF = 0x4000,
};
#define VT_TYPEMASK 0xfff

struct SAFEARRAYBOUND {
    ULONG cElements;
    LONG lLbound;
};

struct SAFEARRAY {
    uint16_t cDims;
    uint16_t fFeatures;
    ULONG cbElements;
    ULONG cLocks;
    void* pvData;
    SAFEARRAYBOUND rgsabound[1]; // cDims entries, in the order given at creation
};

#define FADF_HAVEVARTYPE 0x0080
#define FADF_BSTR 0x0100
#define FADF_UNKNOWN 0x0200
#define FADF_DISPATCH 0x0400
#define FADF_VARIANT 0x0800

struct VARIANT {
    VARTYPE vt;
    WORD wReserved1;
    WORD wReserved2;
    WORD wReserved3;
    union {
        int64_t llVal;
        LONG lVal;
        INT intVal;
        int16_t iVal;
        uint8_t bVal;
        ULONG ulVal;
        UINT uintVal;
        VARIANT_BOOL boolVal;
        HRESULT scode;
        BSTR bstrVal;
        IUnknown* punkVal;
        IDispatch* pdispVal;
        SAFEARRAY* parray;
        void* byref;
    };
};
typedef VARIANT VARIANTARG;

#define V_VT(v) ((v)->vt)
#define V_BSTR(v) ((v)->bstrVal)
#define V_I4(v) ((v)->lVal)
#define V_INT(v) ((v)->intVal)
#define V_BOOL(v) ((v)->boolVal)
#define V_ARRAY(v) ((v)->parray)

// Sets vt to VT_EMPTY. Null ignored.
void VariantInit(VARIANT* pvarg) noexcept;
// Releases what the variant owns (BSTR, array, interface; not for VT_BYREF)
// and leaves it VT_EMPTY. E_INVALIDARG for null, DISP_E_BADVARTYPE for a type
// it does not know (the variant is then left as it was).
HRESULT VariantClear(VARIANT* pvarg) noexcept;
// Deep copy into dest (dest is cleared first). dest unchanged on failure.
HRESULT VariantCopy(VARIANT* pvargDest, const VARIANT* pvargSrc) noexcept;
// Converts src to vt into dest (dest may be src). Supported targets: VT_BSTR
// (from empty, integers and booleans; booleans give "-1"/"0" unless flags has
// VARIANT_ALPHABOOL) and VT_I4 (from integers, booleans and decimal texts).
// DISP_E_TYPEMISMATCH otherwise, DISP_E_OVERFLOW out of range; dest unchanged
// on failure.
#define VARIANT_ALPHABOOL 0x02
HRESULT VariantChangeType(VARIANT* pvargDest, const VARIANT* pvarSrc, WORD wFlags,
                          VARTYPE vt) noexcept;

// Elements of type vt (VT_VARIANT, VT_BSTR, VT_I4, VT_INT, VT_BOOL, VT_UI1,
// VT_UNKNOWN, VT_DISPATCH), zero-initialised. Null on bad arguments or no memory.
SAFEARRAY* SafeArrayCreate(VARTYPE vt, UINT cDims, const SAFEARRAYBOUND* rgsabound) noexcept;
SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lLbound, ULONG cElements) noexcept;
// Releases every element (BSTRs, variants, interfaces), the data and the array.
// Null is S_OK; DISP_E_ARRAYISLOCKED while locked.
HRESULT SafeArrayDestroy(SAFEARRAY* psa) noexcept;
// Copies the value into the element at the indices (one per dimension, in
// the order of the bounds): pv is a VARIANT* for VT_VARIANT arrays, the BSTR
// itself for VT_BSTR, the interface pointer for VT_UNKNOWN/VT_DISPATCH and a
// pointer to the value otherwise. The previous element is released.
// DISP_E_BADINDEX outside the bounds.
HRESULT SafeArrayPutElement(SAFEARRAY* psa, const LONG* rgIndices, const void* pv) noexcept;
// Copies the element out into pv (a VARIANT*, BSTR*, interface pointer's
// address or value's address): a new VARIANT/BSTR/reference the caller releases.
HRESULT SafeArrayGetElement(SAFEARRAY* psa, const LONG* rgIndices, void* pv) noexcept;
// nDim counts from 1 (the leftmost dimension).
HRESULT SafeArrayGetLBound(SAFEARRAY* psa, UINT nDim, LONG* plLbound) noexcept;
HRESULT SafeArrayGetUBound(SAFEARRAY* psa, UINT nDim, LONG* plUbound) noexcept;
UINT SafeArrayGetDim(SAFEARRAY* psa) noexcept;
HRESULT SafeArrayGetVartype(SAFEARRAY* psa, VARTYPE* pvt) noexcept;
HRESULT SafeArrayLock(SAFEARRAY* psa) noexcept;
HRESULT SafeArrayUnlock(SAFEARRAY* psa) noexcept;

// ---------------------------------------------------------------------------
// Runtime: initialisation, class creation, error objects
// ---------------------------------------------------------------------------

// Counts initialisations of this library copy; S_OK the first time, S_FALSE
// after. The reserved argument is ignored.
HRESULT CoInitialize(void* pvReserved) noexcept;
HRESULT CoInitializeEx(void* pvReserved, DWORD dwCoInit) noexcept;
void CoUninitialize() noexcept;

// Folder of the registration files: $KESTROVA_COM_REGISTRY, else
// "<execute path>/com". Empty when neither can be determined.
void comRegistryFolder(char* out, size_t outLength) noexcept;

// Creates an object of class rclsid: reads "<registry>/{CLSID}.component"
// (upper-case CLSID; its first line is the path of the component library),
// loads the library (it stays loaded for the life of the process, as an
// in-process server does), asks its DllGetClassObject for IClassFactory and
// the factory for riid. *ppv is null on failure. Codes: E_POINTER,
// CLASS_E_NOAGGREGATION (an outer object), REGDB_E_CLASSNOTREG (no readable
// registration), CO_E_DLLNOTFOUND, CO_E_ERRORINDLL (no export), or the
// factory's own.
HRESULT CoCreateInstance(REFCLSID rclsid, IUnknown* pUnkOuter, DWORD dwClsContext, REFIID riid,
                         void** ppv) noexcept;

// In-process objects are always running: S_OK for an object, E_INVALIDARG for null.
HRESULT OleRun(IUnknown* pUnknown) noexcept;

// The calling thread's error object. Within one library copy; the component
// and the adapter each carry their own slot, so the adapter relies only on
// the HRESULT. GetErrorInfo hands the object over (S_FALSE and null when none).
HRESULT SetErrorInfo(ULONG dwReserved, IErrorInfo* perrinfo) noexcept;
HRESULT GetErrorInfo(ULONG dwReserved, IErrorInfo** pperrinfo) noexcept;
// A new error object with the given texts (UTF-8; null for none).
HRESULT createErrorInfo(REFGUID guid, const char* source, const char* description,
                        IErrorInfo** out) noexcept;

// ---------------------------------------------------------------------------
// _com_error: the exception raised for a failing HRESULT inside a library.
// It never leaves the library that throws it.
// ---------------------------------------------------------------------------

class _com_error {
  public:
    // Takes over perrinfo (released by the destructor).
    explicit _com_error(HRESULT hr, IErrorInfo* perrinfo = nullptr) noexcept;
    _com_error(const _com_error& that) noexcept;
    _com_error& operator=(const _com_error& that) noexcept;
    ~_com_error();

    HRESULT Error() const noexcept { return hr_; }
    // Borrowed; AddRef to keep it.
    IErrorInfo* ErrorInfo() const noexcept { return errorInfo_; }
    // Short English text of the code ("Unspecified error", ...).
    const char* ErrorMessage() const noexcept;

  private:
    HRESULT hr_;
    IErrorInfo* errorInfo_;
};

// Throw _com_error(hr).
[[noreturn]] void _com_issue_error(HRESULT hr);
// Throw _com_error(hr) with the thread's error object when punk answers
// ISupportErrorInfo for riid with S_OK.
[[noreturn]] void _com_issue_errorex(HRESULT hr, IUnknown* punk, REFIID riid);
