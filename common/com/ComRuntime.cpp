// Class creation through registration files, the thread's error object and
// the _com_error exception.

#include "common/com/Com.h"
#include "common/com/ComText.h"
#include "common/platform/Platform.h"
#include "common/runtime/Log.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>

// A registration file holds one path; anything longer is not ours.
static const size_t kMaxRegistrationBytes = 4096;

static struct { std::atomic<int> initCount; } gl;

// Never destroyed (trivial type), so the library stays unloadable.
static thread_local IErrorInfo* threadErrorInfo = nullptr;

// ===========================================================================
// Initialisation
// ===========================================================================

HRESULT CoInitialize(void* pvReserved) noexcept {
    return CoInitializeEx(pvReserved, 0);
}

HRESULT CoInitializeEx(void* pvReserved, DWORD dwCoInit) noexcept {
    return gl.initCount.fetch_add(1) == 0 ? S_OK : S_FALSE;
}

void CoUninitialize() noexcept {
    int count = gl.initCount.load();
    while (count > 0 && !gl.initCount.compare_exchange_weak(count, count - 1)) {
    }
}

// ===========================================================================
// Class creation
// ===========================================================================

void comRegistryFolder(char* out, size_t outLength) noexcept {
    if (out == nullptr || outLength == 0)
        return;
    out[0] = 0;
    try {
        std::string folder;
        const char* overridden = getenv("KESTROVA_COM_REGISTRY");
        if (overridden != nullptr && overridden[0] != 0) {
            folder = overridden;
        } else {
            std::string executeFolder = platformExecutableFolder();
            if (!executeFolder.empty())
                folder = executeFolder + "/com";
        }
        while (folder.size() > 1 && folder.back() == '/')
            folder.pop_back();
        if (folder.size() < outLength)
            memcpy(out, folder.c_str(), folder.size() + 1);
    } catch (...) {
        out[0] = 0;
    }
}

// The library path of a registration file: its first line, trimmed. Empty
// when the file is missing, unreadable, too long or blank.
static std::string readRegistration(const std::string& path) {
    struct FileCloser {
        void operator()(FILE* f) const { fclose(f); }
    };
    std::unique_ptr<FILE, FileCloser> file(fopen(path.c_str(), "rb"));
    if (!file)
        return std::string();
    char buffer[kMaxRegistrationBytes + 1];
    size_t n = fread(buffer, 1, sizeof buffer, file.get());
    if (n > kMaxRegistrationBytes)
        return std::string();
    std::string line(buffer, n);
    size_t end = line.find_first_of("\r\n");
    if (end != std::string::npos)
        line.resize(end);
    size_t first = line.find_first_not_of(" \t");
    if (first == std::string::npos)
        return std::string();
    size_t last = line.find_last_not_of(" \t");
    return line.substr(first, last - first + 1);
}

static HRESULT createInstanceFromRegistry(REFCLSID rclsid, REFIID riid, void** ppv) {
    char folder[4096];
    comRegistryFolder(folder, sizeof folder);
    if (folder[0] == 0)
        return REGDB_E_CLASSNOTREG;
    char clsidText[40];
    guidToText(rclsid, clsidText, sizeof clsidText);
    std::string registration = std::string(folder) + "/" + clsidText + ".component";
    std::string libraryPath = readRegistration(registration);
    if (libraryPath.empty()) {
        logWarning("COM class not registered: ", registration.c_str());
        return REGDB_E_CLASSNOTREG;
    }
    // The library stays loaded for the life of the process, as an in-process
    // server does: objects it made may outlive any one caller.
    std::string error;
    void* module = platformModuleLoad(libraryPath.c_str(), &error);
    if (module == nullptr) {
        logError("COM library load fail: ", libraryPath.c_str());
        logError("COM library load error: ", error.c_str());
        return CO_E_DLLNOTFOUND;
    }
    auto getClassObject = reinterpret_cast<DllGetClassObjectFunction>(
        platformModuleSymbol(module, KESTROVA_COM_CLASS_OBJECT_EXPORT, &error));
    if (getClassObject == nullptr) {
        logError("COM library has no class object: ", libraryPath.c_str());
        return CO_E_ERRORINDLL;
    }
    IClassFactory* factory = nullptr;
    HRESULT hr = getClassObject(rclsid, IID_IClassFactory, reinterpret_cast<void**>(&factory));
    if (FAILED(hr))
        return hr;
    if (factory == nullptr)
        return E_UNEXPECTED;
    hr = factory->CreateInstance(nullptr, riid, ppv);
    factory->Release();
    if (FAILED(hr))
        *ppv = nullptr;
    return hr;
}

HRESULT CoCreateInstance(REFCLSID rclsid, IUnknown* pUnkOuter, DWORD dwClsContext, REFIID riid,
                         void** ppv) noexcept {
    if (ppv == nullptr)
        return E_POINTER;
    *ppv = nullptr;
    if (pUnkOuter != nullptr)
        return CLASS_E_NOAGGREGATION;
    if ((dwClsContext & (CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER)) == 0)
        return REGDB_E_CLASSNOTREG;
    try {
        return createInstanceFromRegistry(rclsid, riid, ppv);
    } catch (...) {
        *ppv = nullptr;
        return E_OUTOFMEMORY;
    }
}

HRESULT OleRun(IUnknown* pUnknown) noexcept {
    return pUnknown == nullptr ? E_INVALIDARG : S_OK;
}

// ===========================================================================
// Error objects
// ===========================================================================

namespace {

struct ErrorInfoObject final : IErrorInfo {
    std::atomic<ULONG> references{1};
    GUID guid{};
    BSTR source = nullptr;
    BSTR description = nullptr;

    ~ErrorInfoObject() {
        SysFreeString(source);
        SysFreeString(description);
    }

    HRESULT QueryInterface(REFIID riid, void** ppvObject) override {
        if (ppvObject == nullptr)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IErrorInfo) {
            AddRef();
            *ppvObject = static_cast<IErrorInfo*>(this);
            return S_OK;
        }
        *ppvObject = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return ++references; }
    ULONG Release() override {
        ULONG left = --references;
        if (left == 0)
            delete this;
        return left;
    }
    static HRESULT copyOut(BSTR from, BSTR* to) {
        if (to == nullptr)
            return E_POINTER;
        *to = nullptr;
        if (from == nullptr)
            return S_OK;
        *to = SysAllocStringLen(from, SysStringLen(from));
        return *to == nullptr ? E_OUTOFMEMORY : S_OK;
    }
    HRESULT GetGUID(GUID* pGUID) override {
        if (pGUID == nullptr)
            return E_POINTER;
        *pGUID = guid;
        return S_OK;
    }
    HRESULT GetSource(BSTR* pBstrSource) override { return copyOut(source, pBstrSource); }
    HRESULT GetDescription(BSTR* pBstrDescription) override {
        return copyOut(description, pBstrDescription);
    }
    HRESULT GetHelpFile(BSTR* pBstrHelpFile) override { return copyOut(nullptr, pBstrHelpFile); }
    HRESULT GetHelpContext(DWORD* pdwHelpContext) override {
        if (pdwHelpContext == nullptr)
            return E_POINTER;
        *pdwHelpContext = 0;
        return S_OK;
    }
};

} // namespace

HRESULT createErrorInfo(REFGUID guid, const char* source, const char* description,
                        IErrorInfo** out) noexcept {
    if (out == nullptr)
        return E_POINTER;
    *out = nullptr;
    ErrorInfoObject* object = new (std::nothrow) ErrorInfoObject();
    if (object == nullptr)
        return E_OUTOFMEMORY;
    object->guid = guid;
    if (FAILED(bstrFromUtf8(source, &object->source)) ||
        FAILED(bstrFromUtf8(description, &object->description))) {
        object->Release();
        return E_OUTOFMEMORY;
    }
    *out = object;
    return S_OK;
}

HRESULT SetErrorInfo(ULONG dwReserved, IErrorInfo* perrinfo) noexcept {
    if (perrinfo != nullptr)
        perrinfo->AddRef();
    IErrorInfo* previous = threadErrorInfo;
    threadErrorInfo = perrinfo;
    if (previous != nullptr)
        previous->Release();
    return S_OK;
}

HRESULT GetErrorInfo(ULONG dwReserved, IErrorInfo** pperrinfo) noexcept {
    if (pperrinfo == nullptr)
        return E_INVALIDARG;
    *pperrinfo = threadErrorInfo;
    threadErrorInfo = nullptr;
    return *pperrinfo == nullptr ? S_FALSE : S_OK;
}

// ===========================================================================
// _com_error
// ===========================================================================

_com_error::_com_error(HRESULT hr, IErrorInfo* perrinfo) noexcept : hr_(hr), errorInfo_(perrinfo) {}

_com_error::_com_error(const _com_error& that) noexcept
    : hr_(that.hr_), errorInfo_(that.errorInfo_) {
    if (errorInfo_ != nullptr)
        errorInfo_->AddRef();
}

_com_error& _com_error::operator=(const _com_error& that) noexcept {
    if (this != &that) {
        if (that.errorInfo_ != nullptr)
            that.errorInfo_->AddRef();
        if (errorInfo_ != nullptr)
            errorInfo_->Release();
        hr_ = that.hr_;
        errorInfo_ = that.errorInfo_;
    }
    return *this;
}

_com_error::~_com_error() {
    if (errorInfo_ != nullptr)
        errorInfo_->Release();
}

const char* _com_error::ErrorMessage() const noexcept {
    switch (hr_) {
    case S_OK:
        return "No error";
    case E_NOTIMPL:
        return "Not implemented";
    case E_NOINTERFACE:
        return "No such interface supported";
    case E_POINTER:
        return "Invalid pointer";
    case E_ABORT:
        return "Operation aborted";
    case E_FAIL:
        return "Unspecified error";
    case E_UNEXPECTED:
        return "Catastrophic failure";
    case E_ACCESSDENIED:
        return "Access is denied";
    case E_OUTOFMEMORY:
        return "Not enough memory resources are available to complete this operation";
    case E_INVALIDARG:
        return "The parameter is incorrect";
    case CLASS_E_CLASSNOTAVAILABLE:
        return "ClassFactory cannot supply requested class";
    case REGDB_E_CLASSNOTREG:
        return "Class not registered";
    case DISP_E_TYPEMISMATCH:
        return "Type mismatch";
    case DISP_E_EXCEPTION:
        return "Exception occurred";
    default:
        return "Unknown error";
    }
}

void _com_issue_error(HRESULT hr) {
    throw _com_error(hr);
}

void _com_issue_errorex(HRESULT hr, IUnknown* punk, REFIID riid) {
    IErrorInfo* info = nullptr;
    if (punk != nullptr) {
        ISupportErrorInfo* support = nullptr;
        if (SUCCEEDED(
                punk->QueryInterface(IID_ISupportErrorInfo, reinterpret_cast<void**>(&support))) &&
            support != nullptr) {
            if (support->InterfaceSupportsErrorInfo(riid) == S_OK && GetErrorInfo(0, &info) != S_OK)
                info = nullptr;
            support->Release();
        }
    }
    throw _com_error(hr, info);
}
