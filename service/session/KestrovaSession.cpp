// Session table and request dispatch.
#include "service/session/KestrovaSession.h"

#include "common/json/AES.h"
#include "common/json/Json.h"
#include "common/runtime/Log.h"
#include "common/runtime/Tool.h"
#include "service/ServiceState.h"
#include "service/session/KestrovaQueue.h"
#include "service/session/KestrovaValue.h"

#include <dirent.h>
#include <strings.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <new>
#include <string>
#include <system_error>

namespace {

constexpr size_t kSessionIdSize = 64;
constexpr size_t kFunctionNameSize = 512;
constexpr int kSessionIdAttempts = 64;
constexpr size_t kModulePathSize = 4096;
constexpr const char* kVersionFileName = "ARDEQKestrovaMainVersion";

// Call sites of resetAnswer, told apart in the log.
enum ResetSite {
    kResetSetMissing = 1,
    kResetSetStored = 2,
    kResetGetMissing = 3,
    kResetGetRead = 4,
};

struct SessionModule {
    // One lock for the dispatcher, the session table and the final function:
    // an adapter copy is never called by two threads, and a release never
    // unloads a library another request is inside.
    std::mutex lock;
    SessionSlot slots[KESTROVA_SESSION_SLOTS];
    uint64_t useStamps[KESTROVA_SESSION_SLOTS];
    uint64_t nextUseStamp = 0;
    char copyPath[kModulePathSize] = {};
    char executePath[kModulePathSize] = {};

    SessionModule() {
        // Free until start-up, so that a table that was never started holds
        // nothing to release.
        for (uint64_t& stamp : useStamps) {
            stamp = KESTROVA_FREE_STAMP;
        }
    }
};
SessionModule gl;

bool isSlotFree(const SessionSlot& slot) {
    return slot.sessionId == nullptr || slot.sessionId[0] == '\0';
}

bool isReleaseName(const char* name) {
    return strcasecmp(name, "KestrovaClose") == 0 ||
           strcasecmp(name, "KestrovaForceRelease") == 0 ||
           strcasecmp(name, "KestrovaRelease") == 0;
}

bool isEchoName(const char* name) {
    return strcasecmp(name, "KestrovaEcho") == 0 || strcasecmp(name, "Echo") == 0;
}

void markAllSlotsFree() {
    for (uint64_t& stamp : gl.useStamps) {
        stamp = KESTROVA_FREE_STAMP;
    }
}

// "setKestrovaValue" on an existing session.
void storeValueRequest(const JsonMap* request, JsonMap** answer) {
    char* channel = getValue(request, "channel");
    char* domainList = channel != nullptr ? getValue(request, "domain_list") : nullptr;
    char* value = domainList != nullptr ? getValue(request, "value") : nullptr;
    if (channel == nullptr || domainList == nullptr || value == nullptr) {
        resetAnswer(answer, kResetSetMissing);
        setResult(*answer, 61005);
    } else {
        const int32_t timeout = getInteger(request, "timeout");
        const int code = storeSharedValue(channel, domainList, timeout, value);
        resetAnswer(answer, kResetSetStored);
        setResult(*answer, code);
    }
    free(channel);
    free(domainList);
    freeSecret(value);
}

// "getKestrovaValue" on an existing session.
void readValueRequest(const JsonMap* request, const char* origin, JsonMap** answer) {
    char* channel = getValue(request, "channel");
    if (channel == nullptr) {
        resetAnswer(answer, kResetGetMissing);
        setResult(*answer, 61005);
        return;
    }
    char* value = readSharedValue(channel, origin);
    free(channel);
    resetAnswer(answer, kResetGetRead);
    if (value == nullptr) {
        setResult(*answer, 61001);
    } else {
        setValue(*answer, "result", value);
        freeSecret(value);
    }
}

JsonMap* dispatchLocked(const JsonMap* request, const char* origin) {
    JsonMap* answer = newJsonMap();
    if (answer == nullptr) {
        KESTROVA_ALLOC_FAIL();
        return nullptr;
    }
    dumpJsonMap(request);

    char sessionId[kSessionIdSize] = {};
    takeBounded(sessionId, sizeof(sessionId), getValue(request, "SessionId"));
    int slot = -1;
    if (sessionId[0] == '\0') {
        makeNewSessionId(answer, sessionId, sizeof(sessionId));
    } else {
        slot = findSession(sessionId);
    }
    logNormal("Session id: ", sessionId);

    char name[kFunctionNameSize] = {};
    takeBounded(name, sizeof(name), getValue(request, "FunctionName"));

    if (slot < 0) {
        if (isReleaseName(name)) {
            logNormal("No specific adapter to release", "");
            return answer;
        }
        slot = openSessionAdapter(request, origin, sessionId, &answer);
        if (slot < 0) {
            return answer;
        }
        if (isEchoName(name)) {
            gl.slots[slot].browserMode = getInteger(request, "KestrovaMode") == 1 ? 1 : 0;
            setResult(answer, 0);
            return answer;
        }
    } else {
        logNormal("Find the loaded adapter", "");
        SessionSlot& found = gl.slots[slot];
        if (strcasecmp(name, "KestrovaForceRelease") == 0) {
            logNormal("Force release: ", "Active");
            releaseSessionSlot(slot);
            return answer;
        }
        if (strcasecmp(name, "KestrovaClose") == 0 || strcasecmp(name, "KestrovaRelease") == 0) {
            if (found.browserMode == 0) {
                releaseSessionSlot(slot);
            } else {
                logNormal("[Browser mode] Skip release process", "");
            }
            return answer;
        }
        if (strcasecmp(name, "setKestrovaValue") == 0) {
            storeValueRequest(request, &answer);
            return answer;
        }
        if (strcasecmp(name, "getKestrovaValue") == 0) {
            readValueRequest(request, origin, &answer);
            return answer;
        }
        if (isEchoName(name)) {
            logNormal("Browser mode: ", "Active");
            setValue(answer, "ServerVersion", KESTROVA_SERVER_VERSION);
            setValue(answer, "LibVersion", found.adapterVersion);
            setValue(answer, "InstallerVersion", found.installerVersion);
            setResult(answer, 0);
            return answer;
        }
    }
    callSessionAdapter(slot, request, name, &answer);
    return answer;
}

void writeVersionFile() {
    const std::string path =
        gl.copyPath[0] != '\0' ? std::string(gl.copyPath) + "/" + kVersionFileName : std::string();
    FILE* file = !path.empty() ? fopen(path.c_str(), "w") : nullptr;
    bool written = false;
    if (file != nullptr) {
        written = fprintf(file, "%s", "Kestrova version=" KESTROVA_SERVER_VERSION) > 0;
        written = fclose(file) == 0 && written;
    }
    if (!written) {
        logWarning("Write Kestrova version: ", "Fail");
    }
}

void prepareTempfileTree() {
    namespace fs = std::filesystem;
    const fs::path tempfile = fs::path(gl.copyPath) / "Tempfile";
    std::error_code error;
    // Every session copy of an earlier run goes: a copy never survives a restart.
    fs::remove_all(tempfile, error);
    if (error) {
        logWarning("Remove Tempfile: ", error.message().c_str());
    }
    fs::create_directories(tempfile, error);
    for (int i = 0; i < KESTROVA_SESSION_SLOTS; ++i) {
        fs::create_directories(tempfile / ("Session_" + std::to_string(i)), error);
        if (error) {
            logWarning("Create session folder: ", error.message().c_str());
        }
    }
}

// The hidden and the plain library files directly in the copy path.
void deleteStrayLibraries() {
    if (gl.copyPath[0] == '\0') {
        return;
    }
    DIR* folder = opendir(gl.copyPath);
    if (folder == nullptr) {
        return;
    }
    while (const dirent* item = readdir(folder)) {
        const size_t length = strlen(item->d_name);
        if (length > 3 && strcmp(item->d_name + length - 3, ".so") == 0) {
            const std::string file = std::string(gl.copyPath) + "/" + item->d_name;
            std::error_code error;
            if (std::filesystem::is_regular_file(file, error)) {
                std::filesystem::remove(file, error);
            }
        }
    }
    closedir(folder);
}

} // namespace

// ---------------------------------------------------------------------------
// Dispatcher
// ---------------------------------------------------------------------------

JsonMap* dispatchRequest(RequestState* state) noexcept {
    if (state == nullptr || state->request == nullptr) {
        KESTROVA_NULL_PARAM("JsonMap");
        return nullptr;
    }
    if (state->origin == nullptr) {
        KESTROVA_NULL_PARAM("Origin");
        return nullptr;
    }
    try {
        std::lock_guard<std::mutex> guard(gl.lock);
        return dispatchLocked(state->request, state->origin);
    } catch (...) {
        // Only allocation can throw here (paths and logs); the request ends
        // without an answer like any other allocation failure.
        KESTROVA_ALLOC_FAIL();
        return nullptr;
    }
}

// ---------------------------------------------------------------------------
// Session table
// ---------------------------------------------------------------------------

SessionSlot* sessionSlotAt(int index) noexcept {
    if (index < 0 || index >= KESTROVA_SESSION_SLOTS) {
        return nullptr;
    }
    return &gl.slots[index];
}

uint64_t sessionUseStamp(int index) noexcept {
    if (index < 0 || index >= KESTROVA_SESSION_SLOTS) {
        return KESTROVA_FREE_STAMP;
    }
    return gl.useStamps[index];
}

void makeNewSessionId(JsonMap* answer, char* outSessionId, size_t size) noexcept {
    if (outSessionId == nullptr || size == 0) {
        KESTROVA_NULL_PARAM("SessionId");
        return;
    }
    logNormal("Generate new session id", "");
    // A generator that keeps failing yields the same identifier every time;
    // the attempts are bounded so that it cannot hold the dispatcher forever.
    for (int attempt = 0; attempt < kSessionIdAttempts; ++attempt) {
        char* id = makeSessionId();
        if (id != nullptr) {
            copyBounded(outSessionId, size, id);
            freeSecret(id);
        }
        int collision = -1;
        for (int i = 0; i < KESTROVA_SESSION_SLOTS && collision < 0; ++i) {
            if (!isSlotFree(gl.slots[i]) && strcmp(gl.slots[i].sessionId, outSessionId) == 0) {
                collision = i;
            }
        }
        if (collision < 0) {
            break;
        }
        logNormalNumber("Session id collision index: ", collision);
    }
    setValue(answer, "SessionID", outSessionId);
}

int findSession(const char* sessionId) noexcept {
    if (sessionId == nullptr) {
        KESTROVA_NULL_PARAM("SessionId");
        return -1;
    }
    // The page's own session first: a page may open a session under a short
    // identifier of its choosing, which then occurs inside other pages'
    // identifiers and must not capture their calls.
    for (int i = 0; i < KESTROVA_SESSION_SLOTS; ++i) {
        if (!isSlotFree(gl.slots[i]) && strcmp(sessionId, gl.slots[i].sessionId) == 0) {
            return i;
        }
    }
    for (int i = 0; i < KESTROVA_SESSION_SLOTS; ++i) {
        if (!isSlotFree(gl.slots[i]) && strstr(sessionId, gl.slots[i].sessionId) != nullptr) {
            return i;
        }
    }
    return -1;
}

int takeSessionSlot(const char* sessionId) noexcept {
    // An empty identifier would leave the slot looking free while in use.
    if (sessionId == nullptr || sessionId[0] == '\0') {
        KESTROVA_NULL_PARAM("SessionId");
        return -1;
    }
    int index = -1;
    for (int i = 0; i < KESTROVA_SESSION_SLOTS && index < 0; ++i) {
        if (isSlotFree(gl.slots[i])) {
            index = i;
        }
    }
    if (index < 0) {
        logWarning("", "Kestrova slot is full, release the oldest one");
        index = findOldestSlot();
        if (index < 0) {
            logWarning("", "Get the oldest SessionIndex fail");
            return -1;
        }
        releaseSessionSlot(index);
    }
    char* id = copyString(sessionId);
    if (id == nullptr) {
        KESTROVA_ALLOC_FAIL();
        return -1;
    }
    SessionSlot& slot = gl.slots[index];
    // A slot that was free without ever being released may still hold an
    // empty identifier text.
    free(slot.sessionId);
    gl.useStamps[index] = gl.nextUseStamp;
    ++gl.nextUseStamp;
    logNormalNumber("Session index: ", index);
    slot.sessionId = id;
    slot.initTime = static_cast<int64_t>(time(nullptr));
    logNormalNumber("Init time: ", static_cast<long>(static_cast<int32_t>(slot.initTime)));
    return index;
}

void releaseSessionSlot(int index) noexcept {
    logNormalNumber("Release session index: ", index);
    if (index < 0 || index >= KESTROVA_SESSION_SLOTS) {
        return;
    }
    releaseAdapter(index);
    gl.useStamps[index] = KESTROVA_FREE_STAMP;
}

int findOldestSlot() noexcept {
    int oldest = -1;
    for (int i = 0; i < KESTROVA_SESSION_SLOTS; ++i) {
        if (gl.useStamps[i] != KESTROVA_FREE_STAMP &&
            (oldest < 0 || gl.useStamps[i] < gl.useStamps[oldest])) {
            oldest = i;
        }
    }
    return oldest;
}

void resetAnswer(JsonMap** answer, int site) noexcept {
    logNormal("reset Kestrova Json at file: ", "KestrovaSession");
    logNormalNumber("reset Kestrova Json at line: ", site);
    if (answer == nullptr) {
        return;
    }
    freeJsonMap(*answer);
    *answer = newJsonMap();
    if (*answer == nullptr) {
        KESTROVA_ALLOC_FAIL();
    }
}

const char* sessionCopyPath() noexcept {
    return gl.copyPath;
}

const char* sessionExecutePath() noexcept {
    return gl.executePath;
}

// ---------------------------------------------------------------------------
// Module life
// ---------------------------------------------------------------------------

void startSessionModule() noexcept {
    try {
        std::lock_guard<std::mutex> guard(gl.lock);
        setLog("KestrovaSession");
        for (int i = 0; i < KESTROVA_SESSION_SLOTS; ++i) {
            SessionSlot& slot = gl.slots[i];
            free(slot.sessionId);
            free(slot.adapterName);
            free(slot.adapterVersion);
            free(slot.installerVersion);
            memset(&slot, 0, sizeof(slot));
        }
        memset(gl.copyPath, 0, sizeof(gl.copyPath));
        memset(gl.executePath, 0, sizeof(gl.executePath));
        copyBounded(gl.copyPath, sizeof(gl.copyPath), gService.copyPath.c_str());
        if (gl.copyPath[0] != '\0') {
            std::error_code error;
            std::filesystem::create_directories(gl.copyPath, error);
        }
        copyBounded(gl.executePath, sizeof(gl.executePath), gService.executePath.c_str());
        if (!aesDrawStoreKey()) {
            logError("Shared value key: ", "Random source fail");
        }
        initSharedValueStore();
        writeVersionFile();
        if (gl.copyPath[0] != '\0') {
            prepareTempfileTree();
        }
        markAllSlotsFree();
        gl.nextUseStamp = 0;
    } catch (...) {
        KESTROVA_ALLOC_FAIL();
    }
}

void releaseAllAdapters() noexcept {
    try {
        std::lock_guard<std::mutex> guard(gl.lock);
        logNormal("[KestrovaFinal] ", "Start release all adapters");
        for (int index = findOldestSlot(); index >= 0; index = findOldestSlot()) {
            releaseSessionSlot(index);
        }
        deleteStrayLibraries();
    } catch (...) {
        KESTROVA_ALLOC_FAIL();
    }
}
