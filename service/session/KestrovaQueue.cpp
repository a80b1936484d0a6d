// Adapter path table, adapter loading, unlock, version gate and release.
#include "service/session/KestrovaQueue.h"

#include "common/json/Json.h"
#include "common/platform/Platform.h"
#include "common/runtime/Log.h"
#include "common/runtime/Tool.h"
#include "service/ServiceState.h"
#include "service/session/KestrovaSession.h"

#include <strings.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

namespace {

struct PathRow {
    const char* pathId;
    const char* libDir;
    const char* comName;
};

// The libraries a page may name by folder and name.
constexpr PathRow kPathTable[] = {
    {"5D21A7C94E3B4F08A6C2917E0B4D3F65", "ARDEQ", "GpkiCardAdapter"},
};

constexpr const char* kLibrarySuffix = ".so";
constexpr size_t kVersionSize = 64;
constexpr size_t kInstallerNameSize = 512;
constexpr size_t kInstallerVersionSize = 64;

// Call sites of resetAnswer in this file, told apart in the log.
enum ResetSite {
    kResetOutOfTable = 11,
    kResetNoPath = 12,
    kResetLoadFail = 13,
    kResetNoEntry = 14,
    kResetUnlock = 15,
    kResetVersionCode = 16,
    kResetServerVersion = 17,
    kResetAdapterVersion = 18,
    kResetCallNoEntry = 19,
};

struct QueueModule {
    void (*startTopWindow)(uint32_t processId, int allWindows) = nullptr;
    void (*stopTopWindow)() = nullptr;
};
QueueModule gl;

// The answer text of an adapter belongs to the library: it is copied at once,
// and wiped when the copy goes since it may carry decrypted data.
struct AdapterAnswer {
    std::string text;
    explicit AdapterAnswer(const char* answer) : text(answer != nullptr ? answer : "") {}
    ~AdapterAnswer() { secureWipe(text.data(), text.size()); }
    AdapterAnswer(const AdapterAnswer&) = delete;
    AdapterAnswer& operator=(const AdapterAnswer&) = delete;
};

// Appends text as a JSON string body (quotes not included).
void appendJsonEscaped(std::string& out, const char* text) {
    static const char kHex[] = "0123456789abcdef";
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != 0; ++p) {
        if (*p == '"' || *p == '\\') {
            out += '\\';
            out += static_cast<char>(*p);
        } else if (*p < 0x20) {
            out += "\\u00";
            out += kHex[*p >> 4];
            out += kHex[*p & 0x0f];
        } else {
            out += static_cast<char>(*p);
        }
    }
}

// The JSON text of a map built with setValue, for an adapter that only takes
// text (callMethod).
std::string mapToJsonText(const JsonMap* map) {
    std::string text = "{";
    for (int i = 0; i < map->count && i < KESTROVA_JSON_MAP_CAPACITY; ++i) {
        if (map->entries[i].value == nullptr) {
            continue;
        }
        if (text.size() > 1) {
            text += ",";
        }
        text += "\"";
        appendJsonEscaped(text, map->entries[i].key);
        text += "\":\"";
        appendJsonEscaped(text, map->entries[i].value);
        text += "\"";
    }
    text += "}";
    return text;
}

// A system function map: "functionname", the extra pair (if any),
// "AdapterJsonKeyCheck" "true" and "KestrovaFunctionIndex". Null when memory fails.
JsonMap* systemCallMap(const char* functionName, const char* index, const char* extraKey,
                       const char* extraValue) {
    JsonMap* map = newJsonMap();
    if (map == nullptr) {
        return nullptr;
    }
    bool built = setValue(map, "functionname", functionName);
    if (extraKey != nullptr) {
        built = setValue(map, extraKey, extraValue != nullptr ? extraValue : "") && built;
    }
    built = setValue(map, "AdapterJsonKeyCheck", "true") && built;
    built = setValue(map, "KestrovaFunctionIndex", index) && built;
    if (!built) {
        freeJsonMap(map);
        return nullptr;
    }
    return map;
}

// Calls a system function of the slot's adapter: through callJsonMapMethod
// when it has it, else through callMethod with the map as JSON text.
const char* callSystemFunction(const SessionSlot& slot, const JsonMap* map,
                               const char* functionName) {
    if (slot.callJsonMapMethodEntry != nullptr) {
        return slot.callJsonMapMethodEntry(map, functionName);
    }
    if (slot.callMethodEntry != nullptr) {
        const std::string text = mapToJsonText(map);
        return slot.callMethodEntry(text.c_str());
    }
    return nullptr;
}

// The row whose folder and adapter name equal the given ones without regard to case.
const PathRow* findPathRow(const char* folder, const char* adapterName) {
    for (const PathRow& row : kPathTable) {
        if (strcasecmp(folder, row.libDir) == 0 && strcasecmp(adapterName, row.comName) == 0) {
            return &row;
        }
    }
    return nullptr;
}

bool isCopyFileOf(const std::string& path, int index) {
    const std::string folder =
        std::string(sessionCopyPath()) + "/Tempfile/Session_" + std::to_string(index) + "/";
    return sessionCopyPath()[0] != '\0' && path.compare(0, folder.size(), folder) == 0;
}

// Loads path; logs the loader's reason when it fails.
void* loadLibraryLogged(const std::string& path, std::string& outError, int& outErrno) {
    errno = 0;
    void* module = platformModuleLoad(path.c_str(), &outError);
    outErrno = errno;
    return module;
}

// Copies, loads and binds the adapter into slot index. False (with the
// answer set) when the request ends here.
bool loadAdapter(int index, const AdapterPath& path, JsonMap** answer) {
    namespace fs = std::filesystem;
    SessionSlot& slot = *sessionSlotAt(index);
    const std::string installed = installedAdapterFile(path.folder, path.adapterName);
    const std::string copy = sessionCopyFile(index, path.adapterName);
    logNormalWide("Original adapter: ", installed.c_str());
    logNormalWide("Copy adapter: ", copy.c_str());

    std::string loadError;
    int loadErrno = 0;
    void* module = nullptr;
    bool loadedCopy = false;
    std::error_code copyError;
    // The copy must be new: an existing file may still be mapped by a library
    // that is not unloaded yet.
    if (!copy.empty() && fs::copy_file(installed, copy, fs::copy_options::none, copyError)) {
        logNormal("Copy adapter state: ", "Success");
        module = loadLibraryLogged(copy, loadError, loadErrno);
        if (module != nullptr) {
            logNormal("Copied adapter: ", "Active");
            loadedCopy = true;
        } else {
            logWarning("Copied adapter: ", "Inactive");
            logWarning("Copied adapter error: ", loadError.c_str());
            // A copy that cannot be loaded is of no use, and left in place it
            // would turn every later session of this slot away from copying.
            std::error_code removeError;
            fs::remove(copy, removeError);
        }
    } else {
        logWarning("Copy adapter state: ", "Fail");
        if (copyError) {
            logWarning("Copy adapter error: ", copyError.message().c_str());
        }
    }
    if (module == nullptr) {
        module = loadLibraryLogged(installed, loadError, loadErrno);
        if (module != nullptr) {
            logNormal("Origin adapter: ", "Active");
        } else {
            logWarning("Origin adapter: ", "Inactive");
            logExistence("Origin adpater: ", fileExists(installed.c_str()));
            logExistence("Copied adpater: ", fileExists(copy.c_str()));
            logErrorNumber("Adapter load error reason: ", loadErrno);
            logError("Adapter load error reason: ", loadError.c_str());
            releaseSessionSlot(index);
            resetAnswer(answer, kResetLoadFail);
            setResult(*answer, 61902);
            return false;
        }
    }

    const std::string& loadedPath = loadedCopy ? copy : installed;
    copyBounded(slot.adapterPath, sizeof(slot.adapterPath), loadedPath.c_str());
    slot.adapterIsCopy = loadedCopy;
    slot.module = module;
    free(slot.adapterName);
    slot.adapterName = copyString(path.adapterName);
    slot.callMethodEntry =
        reinterpret_cast<CallMethodEntry>(platformModuleSymbol(module, "callMethod"));
    slot.callJsonMapMethodEntry =
        reinterpret_cast<CallJsonMapMethodEntry>(platformModuleSymbol(module, "callJsonMapMethod"));
    logChoice("Json string callMethod: ", slot.callMethodEntry != nullptr, "Active", "Inactive");
    logChoice("Json map callMethod: ", slot.callJsonMapMethodEntry != nullptr, "Active",
              "Inactive");
    if (slot.callJsonMapMethodEntry != nullptr) {
        logNormal("Json map init: ", "Active");
    } else if (slot.callMethodEntry != nullptr) {
        logNormal("Json string init: ", "Active");
    } else {
        logWarning("", "All callMethod load fail");
        releaseSessionSlot(index);
        resetAnswer(answer, kResetNoEntry);
        setResult(*answer, 61906);
        return false;
    }
    return true;
}

// The unlock call; false (with the answer set) when the adapter refuses.
bool unlockAdapter(int index, const char* origin, JsonMap** answer) {
    JsonMap* map = systemCallMap("Kestrova_Unlock", "-2", "url", origin);
    if (map == nullptr) {
        KESTROVA_ALLOC_FAIL();
        releaseSessionSlot(index);
        return false;
    }
    const AdapterAnswer unlock(callSystemFunction(*sessionSlotAt(index), map, "Kestrova_Unlock"));
    freeJsonMap(map);
    if (strcasecmp(unlock.text.c_str(), "0") != 0) {
        logWarning("Unlock result: ", unlock.text.c_str());
        resetAnswer(answer, kResetUnlock);
        setValue(*answer, "result", unlock.text.c_str());
        releaseSessionSlot(index);
        return false;
    }
    logNormal("Unlock: ", "Success");
    return true;
}

// The version call; false when the request ends here (answer set as needed).
bool readAdapterVersion(int index, char* outVersion, size_t size, JsonMap** answer) {
    JsonMap* map = systemCallMap("Kestrova_GetVersion", "-1", nullptr, nullptr);
    if (map == nullptr) {
        KESTROVA_ALLOC_FAIL();
        releaseSessionSlot(index);
        return false;
    }
    copyBounded(outVersion, size,
                callSystemFunction(*sessionSlotAt(index), map, "Kestrova_GetVersion"));
    freeJsonMap(map);
    if (outVersion[0] == '\0') {
        logWarning("Init adapter: ", "Fail");
        releaseSessionSlot(index);
        return false;
    }
    SessionSlot& slot = *sessionSlotAt(index);
    free(slot.adapterVersion);
    slot.adapterVersion = copyString(outVersion);
    const long code = stringToLong(outVersion, false);
    if (!lastConversionFailed() && code >= 61000 && code <= 61999) {
        logWarningNumber("Parse component version error: ", code);
        releaseSessionSlot(index);
        resetAnswer(answer, kResetVersionCode);
        setResult(*answer, static_cast<int>(code));
        return false;
    }
    logNormal("Extract component version: ", "Success");
    return true;
}

// The minimum passes when it is equal to or older than the real version.
bool versionAtLeast(const char* minimum, const char* real) {
    if (minimum == nullptr || minimum[0] == '\0') {
        return false;
    }
    const int order = compareVersion(minimum, real);
    return order == 0 || order == -1;
}

bool gateVersions(int index, const JsonMap* request, const char* version, JsonMap** answer) {
    char minServerVersion[KESTROVA_PATH_FIELD_SIZE] = {};
    char minLibVersion[KESTROVA_PATH_FIELD_SIZE] = {};
    takeBounded(minServerVersion, sizeof(minServerVersion), getValue(request, "minServerVersion"));
    takeBounded(minLibVersion, sizeof(minLibVersion), getValue(request, "minLibVersion"));
    if (minLibVersion[0] == '\0') {
        copyBounded(minLibVersion, sizeof(minLibVersion), "0.0.0.0");
    }

    const bool serverPassed = versionAtLeast(minServerVersion, KESTROVA_SERVER_VERSION);
    setValue(*answer, "ServerVersion", KESTROVA_SERVER_VERSION);
    setValue(*answer, "LibVersion", version);
    logWarning("Mini server version: ", minServerVersion);
    logWarning("Real server version: ", KESTROVA_SERVER_VERSION);
    if (!serverPassed) {
        logWarning("Verify server version: ", "Fail");
        releaseSessionSlot(index);
        resetAnswer(answer, kResetServerVersion);
        setResult(*answer, 61203);
        return false;
    }
    logNormal("Verify server version: ", "Pass");

    const bool adapterPassed = versionAtLeast(minLibVersion, version);
    logWarning("Mini adapter version: ", minLibVersion);
    logWarning("Real adapter version: ", version);
    if (!adapterPassed) {
        logWarning("Verify adapter version: ", "Fail");
        releaseSessionSlot(index);
        resetAnswer(answer, kResetAdapterVersion);
        setResult(*answer, 61204);
        return false;
    }
    logNormal("Verify adapter version: ", "Pass");
    return true;
}

void readInstallerVersion(int index, const char* installerName, JsonMap** answer) {
    if (installerName[0] == '\0') {
        return;
    }
    logNormal("InstallerName: ", installerName);
    const std::string raw = std::string(sessionCopyPath()) + "/" + installerName + "Version.txt";
    char* path = stripExeSuffix(raw.c_str());
    if (path == nullptr) {
        KESTROVA_ALLOC_FAIL();
        return;
    }
    logNormalWide("InstallerVersionFile: ", path);
    char text[kInstallerVersionSize] = {};
    char* content = readTextFile(path, 64u * 1024u);
    copyBounded(text, sizeof(text), content);
    free(content);
    free(path);
    logNormal("InstallerVersion: ", text);
    setValue(*answer, "InstallerVersion", text);
    SessionSlot& slot = *sessionSlotAt(index);
    free(slot.installerVersion);
    slot.installerVersion = copyString(text);
}

} // namespace

// ---------------------------------------------------------------------------
// Path table
// ---------------------------------------------------------------------------

void cleanFileName(char* buffer, size_t size) noexcept {
    if (buffer == nullptr) {
        KESTROVA_NULL_PARAM("fileName");
        return;
    }
    if (size == 0) {
        return;
    }
    static const char kDropped[] = "<>:\"/\\|?*;&$";
    size_t write = 0;
    for (size_t read = 0; read < size && buffer[read] != '\0'; ++read) {
        if (strchr(kDropped, buffer[read]) == nullptr) {
            buffer[write++] = buffer[read];
        }
    }
    memset(buffer + write, 0, size - write);
    // A buffer that was full to the last byte still ends terminated.
    buffer[size - 1] = '\0';
    if (strcmp(buffer, "..") == 0) {
        buffer[0] = '\0';
        buffer[1] = '\0';
    }
}

void applyPathId(const char* pathId, char* folder, char* adapterName) noexcept {
    if (pathId == nullptr || folder == nullptr || adapterName == nullptr) {
        KESTROVA_NULL_PARAM(pathId == nullptr   ? "PathID"
                            : folder == nullptr ? "LibDir"
                                                : "ComName");
        return;
    }
    for (const PathRow& row : kPathTable) {
        if (strcasecmp(pathId, row.pathId) == 0) {
            memset(folder, 0, KESTROVA_PATH_FIELD_SIZE);
            memset(adapterName, 0, KESTROVA_PATH_FIELD_SIZE);
            copyBounded(folder, KESTROVA_PATH_FIELD_SIZE, row.libDir);
            copyBounded(adapterName, KESTROVA_PATH_FIELD_SIZE, row.comName);
            return;
        }
    }
}

bool isPathInTable(const char* folder, const char* adapterName) noexcept {
    if (folder == nullptr || adapterName == nullptr) {
        KESTROVA_NULL_PARAM(folder == nullptr ? "LibDir" : "ComName");
        return false;
    }
    const bool found = findPathRow(folder, adapterName) != nullptr;
    logWarning("Path table compare: ", found ? "Success" : "Fail");
    logWarning("Lib: ", kPathTable[0].libDir);
    logWarning("Component: ", kPathTable[0].comName);
    return found;
}

bool resolveAdapterPath(const JsonMap* request, JsonMap** answer, AdapterPath* outPath) noexcept {
    if (request == nullptr || answer == nullptr || outPath == nullptr) {
        KESTROVA_NULL_PARAM(request == nullptr  ? "JsonMap"
                            : answer == nullptr ? "Answer"
                                                : "AdapterPath");
        return false;
    }
    char pathId[KESTROVA_PATH_ID_SIZE] = {};
    memset(outPath, 0, sizeof(*outPath));
    takeBounded(pathId, sizeof(pathId), getValue(request, "PathID"));
    takeBounded(outPath->folder, sizeof(outPath->folder), getValue(request, "LibDir"));
    takeBounded(outPath->adapterName, sizeof(outPath->adapterName), getValue(request, "ComName"));
    cleanFileName(outPath->folder, sizeof(outPath->folder));
    cleanFileName(outPath->adapterName, sizeof(outPath->adapterName));
    logNormal("Adapter folder: ", outPath->folder);
    logNormal("Adapter name: ", outPath->adapterName);

    if (pathId[0] != '\0') {
        logNormal("Path id mode: ", "Active");
        applyPathId(pathId, outPath->folder, outPath->adapterName);
    } else {
        logNormal("Path id check location mode: ", "Active");
        if (!isPathInTable(outPath->folder, outPath->adapterName)) {
            logNormal("Out of path table connection: ", "Reject");
            resetAnswer(answer, kResetOutOfTable);
            setResult(*answer, 61009);
            return false;
        }
        // The table's own spelling names the files: file names are case
        // sensitive here, so "ardeq" would name a folder that does not exist.
        const PathRow* row = findPathRow(outPath->folder, outPath->adapterName);
        memset(outPath, 0, sizeof(*outPath));
        copyBounded(outPath->folder, sizeof(outPath->folder), row->libDir);
        copyBounded(outPath->adapterName, sizeof(outPath->adapterName), row->comName);
    }
    if (outPath->folder[0] == '\0' || outPath->adapterName[0] == '\0') {
        logNormal("No path information connection: ", "Reject");
        resetAnswer(answer, kResetNoPath);
        setResult(*answer, 61009);
        return false;
    }
    return true;
}

std::string installedAdapterFile(const char* folder, const char* adapterName) {
    return std::string(sessionExecutePath()) + "/" + folder + "/" + adapterName + kLibrarySuffix;
}

std::string sessionCopyFile(int index, const char* adapterName) {
    if (sessionCopyPath()[0] == '\0') {
        return std::string();
    }
    return std::string(sessionCopyPath()) + "/Tempfile/Session_" + std::to_string(index) + "/" +
           adapterName + kLibrarySuffix;
}

// ---------------------------------------------------------------------------
// Opening, calling and releasing an adapter
// ---------------------------------------------------------------------------

int openSessionAdapter(const JsonMap* request, const char* origin, const char* sessionId,
                       JsonMap** answer) noexcept {
    if (request == nullptr || origin == nullptr || sessionId == nullptr || answer == nullptr) {
        KESTROVA_NULL_PARAM(request == nullptr  ? "JsonMap"
                            : origin == nullptr ? "Origin"
                                                : "SessionId");
        return -1;
    }
    try {
        AdapterPath path;
        if (!resolveAdapterPath(request, answer, &path)) {
            return -1;
        }
        const int index = takeSessionSlot(sessionId);
        if (index < 0) {
            return -1;
        }
        if (!loadAdapter(index, path, answer) || !unlockAdapter(index, origin, answer)) {
            return -1;
        }
        char version[kVersionSize] = {};
        if (!readAdapterVersion(index, version, sizeof(version), answer)) {
            return -1;
        }
        char installerName[kInstallerNameSize] = {};
        takeBounded(installerName, sizeof(installerName), getValue(request, "InstallerName"));
        cleanFileName(installerName, sizeof(installerName));
        if (!gateVersions(index, request, version, answer)) {
            return -1;
        }
        readInstallerVersion(index, installerName, answer);
        return index;
    } catch (...) {
        KESTROVA_ALLOC_FAIL();
        return -1;
    }
}

void callSessionAdapter(int slotIndex, const JsonMap* request, const char* functionName,
                        JsonMap** answer) noexcept {
    SessionSlot* slot = sessionSlotAt(slotIndex);
    if (slot == nullptr || request == nullptr || functionName == nullptr || answer == nullptr) {
        KESTROVA_NULL_PARAM(slot == nullptr      ? "Slot"
                            : request == nullptr ? "JsonMap"
                                                 : "FunctionName");
        return;
    }
    try {
        bool watching = false;
        if (isTrue(request, "topuidetect")) {
            logNormal("Set top component UI: ", "Enable");
            if (gl.startTopWindow != nullptr) {
                gl.startTopWindow(gService.processId, 0);
                watching = true;
            }
        } else if (isTrue(request, "topuialldetect")) {
            logNormal("Set top all system UI: ", "Enable");
            if (gl.startTopWindow != nullptr) {
                gl.startTopWindow(gService.processId, 1);
                watching = true;
            }
        }

        const char* raw = nullptr;
        if (slot->callJsonMapMethodEntry != nullptr) {
            raw = slot->callJsonMapMethodEntry(request, functionName);
        } else if (slot->callMethodEntry != nullptr) {
            raw = slot->callMethodEntry(request->text != nullptr ? request->text : "");
        } else {
            if (watching && gl.stopTopWindow != nullptr) {
                gl.stopTopWindow();
            }
            releaseSessionSlot(slotIndex);
            resetAnswer(answer, kResetCallNoEntry);
            setResult(*answer, 61906);
            return;
        }
        const AdapterAnswer result(raw);
        if (watching && gl.stopTopWindow != nullptr) {
            gl.stopTopWindow();
        }

        const char* label = result.text.find('\n') != std::string::npos ? " Component result:\n"
                                                                        : " Component result: ";
        if (isTrue(request, "hide_result")) {
            std::string stars(result.text.size(), '*');
            logPlain(label, stars.c_str());
        } else {
            logPlain(label, result.text.c_str());
        }
        setValue(*answer, "result", result.text.c_str());
    } catch (...) {
        KESTROVA_ALLOC_FAIL();
    }
}

void releaseAdapter(int index) noexcept {
    SessionSlot* slot = sessionSlotAt(index);
    if (slot == nullptr || slot->sessionId == nullptr) {
        return;
    }
    slot->browserMode = 0;
    logNormal("Release Session id: ", slot->sessionId);
    free(slot->sessionId);
    slot->sessionId = nullptr;
    logNormal("Release AdapterName: ", slot->adapterName);
    free(slot->adapterName);
    slot->adapterName = nullptr;
    logNormal("Release Adapter Version: ", slot->adapterVersion);
    free(slot->adapterVersion);
    slot->adapterVersion = nullptr;
    logNormal("Release Installer Version: ", slot->installerVersion);
    free(slot->installerVersion);
    slot->installerVersion = nullptr;

    if (slot->callJsonMapMethodEntry != nullptr) {
        JsonMap* map = systemCallMap("Kestrova_Release", "-3", nullptr, nullptr);
        if (map == nullptr) {
            // Unloading a library that was not told to release is left to the
            // next start; the slot is free all the same.
            KESTROVA_ALLOC_FAIL();
            return;
        }
        slot->callJsonMapMethodEntry(map, "Kestrova_Release");
        freeJsonMap(map);
    }

    void* module = slot->module;
    slot->module = nullptr;
    slot->callMethodEntry = nullptr;
    slot->callJsonMapMethodEntry = nullptr;
    slot->initTime = 0;

    bool unloaded = true;
    if (module == nullptr) {
        logWarning("FreeLibrary: ", "NULL");
    } else {
        std::string error;
        unloaded = platformModuleFree(module, &error);
        if (!unloaded) {
            logWarning("Free library error code: ", error.c_str());
        }
    }
    if (isLogReady()) {
        if (unloaded) {
            logNormal("Release adapter state: ", "Success");
        } else {
            logWarning("Release adapter state: ", "Fail");
        }
    }

    if (slot->adapterPath[0] != '\0') {
        const std::string path(slot->adapterPath);
        // Only the session's own copy goes; the installed file, loaded when the
        // copy failed, is the installation itself.
        if (slot->adapterIsCopy && isCopyFileOf(path, index)) {
            std::error_code error;
            const bool deleted = std::filesystem::remove(path, error);
            if (isLogReady()) {
                if (deleted) {
                    logNormal("Delete adapter state: ", "Success");
                } else {
                    logWarning("Delete adapter state: ", "Fail");
                }
            }
        } else if (isLogReady()) {
            logNormal("Delete adapter state: ", "Installed adapter kept");
        }
    }
    memset(slot->adapterPath, 0, sizeof(slot->adapterPath));
    slot->adapterIsCopy = false;
}

void setTopWindowHooks(void (*start)(uint32_t processId, int allWindows), void (*stop)()) noexcept {
    gl.startTopWindow = start;
    gl.stopTopWindow = stop;
}
