// GpkiCardAdapter: the library through which pages reach the GPKI component.
// The service loads one private copy per session and calls callMethod or
// callJsonMapMethod for each request; the copy finds the function by index or
// name, runs it and answers with one text that it owns until the next call.
//
// All state is library-wide and unlocked: calls into one copy never overlap
// (the service serialises them), and each session has its own copy.

#include "adapter/AdapterInternal.h"

#include "common/com/Com.h"
#include "common/json/Json.h"
#include "common/runtime/Log.h"
#include "common/runtime/Tool.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#define ADAPTER_EXPORT extern "C" __attribute__((visibility("default")))

ADAPTER_EXPORT const char* callMethod(const char* jsonText) noexcept;
ADAPTER_EXPORT const char* callJsonMapMethod(const JsonMap* map, const char* functionName) noexcept;

namespace {

constexpr const char* kAdapterName = "GpkiCardAdapter";
constexpr const char* kAdapterVersion = "1,6,3,10080";
constexpr int kTableCapacity = 1024;
constexpr size_t kNameSize = 128;
constexpr int kResultNoFunction = 61005;
constexpr int kResultNoComponent = 61905;

struct KestrovaAdapterEntry {
    char name[kNameSize]; // at most 127 characters kept
    AdapterHandler handler;
};

struct KestrovaAdapterMap {
    KestrovaAdapterEntry entries[kTableCapacity];
    int32_t count;
};

// The copy of the component entries taken before the system functions were
// added and the table sorted: the numeric function index addresses it.
struct AdapterIndexTable {
    KestrovaAdapterEntry* entries;
    int32_t count;
};

struct AdapterState {
    char* answer;
    bool initialised;
    IGpkiComponent* component;
    KestrovaAdapterMap* table;
    AdapterIndexTable index;
};

AdapterState gl;

// Returned when not even an empty answer can be allocated.
char emptyAnswer[1] = {0};

void logBuildLines() {
    logNormal("Adatper compile date: ", __DATE__);
    logNormal("Adatper compile time: ", __TIME__);
}

void freeAnswer() {
    freeSecret(gl.answer);
    gl.answer = nullptr;
}

const char* finalAnswer() {
    if (gl.answer == nullptr)
        gl.answer = static_cast<char*>(calloc(1, 1));
    return gl.answer != nullptr ? gl.answer : emptyAnswer;
}

// ===========================================================================
// Names
// ===========================================================================

int lowerByte(char c) {
    unsigned char u = static_cast<unsigned char>(c);
    return (u >= 'A' && u <= 'Z') ? u - 'A' + 'a' : u;
}

// Case-insensitive over the shorter length; a prefix sorts first.
int compareAdapterNames(const char* a, const char* b) {
    size_t i = 0;
    for (; a[i] != 0 && b[i] != 0; i++) {
        int d = lowerByte(a[i]) - lowerByte(b[i]);
        if (d != 0)
            return d < 0 ? -1 : 1;
    }
    if (a[i] == 0 && b[i] == 0)
        return 0;
    return a[i] == 0 ? -1 : 1;
}

// Whole names, ASCII letters folded whatever the host's locale.
bool sameName(const char* a, const char* b) {
    size_t i = 0;
    for (; a[i] != 0 && b[i] != 0; i++)
        if (lowerByte(a[i]) != lowerByte(b[i]))
            return false;
    return a[i] == b[i];
}

void copyName(char* out, const char* name) {
    snprintf(out, kNameSize, "%s", name);
}

// ===========================================================================
// The function table
// ===========================================================================

void registerFunction(const char* name, AdapterHandler handler) {
    KestrovaAdapterMap* table = gl.table;
    if (table == nullptr)
        return;
    char cut[kNameSize];
    copyName(cut, name);
    for (int32_t i = 0; i < table->count; i++) {
        if (compareAdapterNames(table->entries[i].name, cut) == 0) {
            logWarning("Function name already exist: ", name);
            return;
        }
    }
    if (table->count >= kTableCapacity) {
        logWarning("Function table is full: ", name);
        return;
    }
    KestrovaAdapterEntry& entry = table->entries[table->count];
    copyName(entry.name, name);
    entry.handler = handler;
    table->count++;
    logNormal("Enable adapter func: ", name);
}

int compareEntries(const void* a, const void* b) {
    return compareAdapterNames(static_cast<const KestrovaAdapterEntry*>(a)->name,
                               static_cast<const KestrovaAdapterEntry*>(b)->name);
}

void freeTables() {
    free(gl.table);
    gl.table = nullptr;
    free(gl.index.entries);
    gl.index.entries = nullptr;
    gl.index.count = 0;
}

// Binary search of the sorted table; null when the name is not there.
const KestrovaAdapterEntry* BinarySearchKestrovaAdapterMap(const char* functionName) {
    KestrovaAdapterMap* table = gl.table;
    if (table == nullptr || table->count <= 0)
        return nullptr;
    char key[kNameSize];
    copyName(key, functionName);
    int low = 0;
    int high = table->count - 1;
    while (low <= high) {
        int mid = low + (high - low) / 2;
        const KestrovaAdapterEntry& entry = table->entries[mid];
        int order = compareAdapterNames(entry.name, key);
        if (order == 0) {
            if (!sameName(entry.name, functionName)) {
                // Only the first 127 characters matched.
                logWarning("BinarySearchKestrovaAdapterMap Compare_Same!", "");
                return nullptr;
            }
            return &entry;
        }
        if (order < 0)
            low = mid + 1;
        else
            high = mid - 1;
    }
    return nullptr;
}

// ===========================================================================
// The component
// ===========================================================================

void releaseComponent() {
    if (gl.component != nullptr) {
        gl.component->Release();
        gl.component = nullptr;
    }
}

bool createComponent() {
    (void)CoInitialize(nullptr);
    releaseComponent();
    IUnknown* unknown = nullptr;
    HRESULT hr = CoCreateInstance(CLSID_GpkiComponent, nullptr, CLSCTX_ALL, IID_IUnknown,
                                  reinterpret_cast<void**>(&unknown));
    if (SUCCEEDED(hr) && unknown == nullptr)
        hr = E_POINTER;
    if (SUCCEEDED(hr))
        hr = OleRun(unknown);
    IGpkiComponent* component = nullptr;
    if (SUCCEEDED(hr))
        hr = unknown->QueryInterface(IID_IGpkiComponent, reinterpret_cast<void**>(&component));
    if (unknown != nullptr)
        unknown->Release();
    if (FAILED(hr) || component == nullptr) {
        if (component != nullptr)
            component->Release();
        logErrorNumber("Component create code: ", (long)hr);
        return false;
    }
    gl.component = component;
    return true;
}

// ===========================================================================
// System functions
// ===========================================================================

void Kestrova_GetVersion(const JsonMap*) {
    adapterSetAnswer(kAdapterVersion);
}

// Every page is accepted: the host's "url" is not examined.
void Kestrova_Unlock(const JsonMap*) {
    adapterSetAnswer("0");
}

// The host sends this right before it unloads the copy. The component is
// released here as well: an unloaded copy could never release it, and every
// session would leave a live component (with its token sessions) behind.
void Kestrova_Release(const JsonMap*) {
    freeTables();
    freeAnswer();
    releaseComponent();
    logNormal("KestrovaRelease", "");
}

// ===========================================================================
// Initialisation and dispatch
// ===========================================================================

bool initialise() {
    if (gl.initialised)
        return true;
    setLog(kAdapterName);
    logNormal("Init adapter: ", kAdapterName);
    logBuildLines();

    if (!createComponent()) {
        logError("Component init error!", "");
        adapterSetAnswerNumber(kResultNoComponent);
        return false;
    }

    // A failed earlier attempt may have left a table behind.
    freeTables();
    gl.table = static_cast<KestrovaAdapterMap*>(calloc(1, sizeof(KestrovaAdapterMap)));
    if (gl.table == nullptr) {
        KESTROVA_ALLOC_FAIL();
        return true; // dispatched with what exists: nothing is found
    }
    for (const AdapterFunction& f : kComponentFunctions)
        registerFunction(f.name, f.handler);

    int32_t componentCount = gl.table->count;
    gl.index.entries = static_cast<KestrovaAdapterEntry*>(
        calloc((size_t)(componentCount > 0 ? componentCount : 1), sizeof(KestrovaAdapterEntry)));
    if (gl.index.entries == nullptr) {
        KESTROVA_ALLOC_FAIL();
        freeTables();
        return true;
    }
    memcpy(gl.index.entries, gl.table->entries,
           (size_t)componentCount * sizeof(KestrovaAdapterEntry));
    gl.index.count = componentCount;

    registerFunction("Kestrova_GetVersion", Kestrova_GetVersion);
    registerFunction("Kestrova_Release", Kestrova_Release);
    registerFunction("Kestrova_Unlock", Kestrova_Unlock);
    qsort(gl.table->entries, (size_t)gl.table->count, sizeof(KestrovaAdapterEntry), compareEntries);

    logNormal("Success enable:", "");
    logNormalNumber("\tComponent api: ", componentCount);
    logNormalNumber("\tSystem api: ", gl.table->count - componentCount);
    gl.initialised = true;
    return true;
}

void dispatch(const JsonMap* map, const char* functionName) {
    int32_t functionIndex = getInteger(map, "KestrovaFunctionIndex");
    logNormalNumber("FunctionIndex: ", functionIndex);
    switch (functionIndex) {
    case -3:
        Kestrova_Release(map);
        return;
    case -2:
        Kestrova_Unlock(map);
        return;
    case -1:
        adapterSetAnswer(kAdapterVersion);
        return;
    default:
        break;
    }
    if (functionIndex < -3 || functionIndex >= ADAPTER_COMPONENT_FUNCTIONS) {
        logWarning("FunctionIndex: ", "Out of range");
    } else if (gl.index.entries != nullptr && functionIndex < gl.index.count) {
        const KestrovaAdapterEntry& entry = gl.index.entries[functionIndex];
        if (sameName(entry.name, functionName)) {
            entry.handler(map);
            return;
        }
        logWarning("", "KestrovaFunctionIndex is not match with adapter");
        logWarning("FunctionName from web: ", functionName);
        logWarning("FunctionName in adapter: ", entry.name);
    }
    logWarning("FunctionIndex mode: ", "Fail");
    logNormal("Function search name mode: ", functionName);
    const KestrovaAdapterEntry* found = BinarySearchKestrovaAdapterMap(functionName);
    if (found != nullptr) {
        found->handler(map);
        return;
    }
    logWarning("Function name does not match: ", functionName);
    adapterSetAnswerNumber(kResultNoFunction);
}

void runRequest(const JsonMap* map, const char* functionName) {
    if (initialise())
        dispatch(map, functionName);
}

// The last answer (and the tables, when the host skipped the release call)
// would otherwise stay behind in the host for every session ever opened.
// The component is not touched: at process exit its library may already be
// finalised when this runs.
__attribute__((destructor)) void unloadAdapter() {
    freeTables();
    freeAnswer();
}

} // namespace

// ===========================================================================
// Shared with the component functions
// ===========================================================================

void adapterTakeAnswer(char* text) noexcept {
    freeAnswer();
    gl.answer = text;
}

void adapterSetAnswer(const char* text) noexcept {
    freeAnswer();
    if (text == nullptr)
        return;
    gl.answer = copyString(text);
    if (gl.answer == nullptr)
        KESTROVA_ALLOC_FAIL();
}

void adapterSetAnswerNumber(long number) noexcept {
    char text[32];
    snprintf(text, sizeof text, "%ld", number);
    adapterSetAnswer(text);
}

IGpkiComponent* adapterComponent() noexcept {
    return gl.component;
}

// ===========================================================================
// Exports
// ===========================================================================

const char* callMethod(const char* jsonText) noexcept {
    try {
        logNormal("Into adapter: ", kAdapterName);
        logBuildLines();
        freeAnswer();
        if (jsonText == nullptr) {
            KESTROVA_NULL_PARAM("JSONObj");
            return finalAnswer();
        }
        struct MapFree {
            void operator()(JsonMap* m) const { freeJsonMap(m); }
        };
        struct TextFree {
            void operator()(char* t) const { free(t); }
        };
        std::unique_ptr<JsonMap, MapFree> map(parseJsonMap(jsonText));
        if (!map)
            return finalAnswer();
        dumpJsonMap(map.get());
        std::unique_ptr<char, TextFree> functionName(getValue(map.get(), "FunctionName"));
        if (!functionName) {
            logWarning("Function name is null", "");
            adapterSetAnswerNumber(kResultNoFunction);
        } else {
            runRequest(map.get(), functionName.get());
        }
    } catch (...) {
        // Nothing may cross into the host; the handlers catch their own.
        KESTROVA_ALLOC_FAIL();
    }
    return finalAnswer();
}

const char* callJsonMapMethod(const JsonMap* map, const char* functionName) noexcept {
    try {
        logNormal("Into json map adapter: ", kAdapterName);
        logBuildLines();
        freeAnswer();
        if (map == nullptr) {
            KESTROVA_NULL_PARAM("JsonMap");
        } else if (functionName == nullptr) {
            KESTROVA_NULL_PARAM("FunctionName");
        } else {
            runRequest(map, functionName);
        }
    } catch (...) {
        KESTROVA_ALLOC_FAIL();
    }
    return finalAnswer();
}
