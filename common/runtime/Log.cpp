// Program-level log layer over QXLog: finding the settings file and the
// tagged line writers. Safe to call from any thread: the ready flag is atomic
// and the prefix is copied under a lock.

#include "common/runtime/Log.h"

#include "common/runtime/QXLog.h"
#include "common/runtime/Tool.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

namespace {

constexpr size_t kPrefixSize = 64;
constexpr const char* kSettingsSection = "ARDEQKestrova";

struct ProgramLogState {
    std::atomic<bool> ready{false};
    std::mutex prefixMutex;
    char prefix[kPrefixSize] = {};
};

ProgramLogState gs;

const char* orEmpty(const char* text) {
    return text != nullptr ? text : "";
}

const char* sourceName(const char* file) {
    if (file == nullptr)
        return "";
    const char* slash = strrchr(file, '/');
    return slash != nullptr ? slash + 1 : file;
}

void writeTagged(const char* tag, const char* label, const char* value) {
    if (!gs.ready.load())
        return;
    char prefix[kPrefixSize];
    {
        std::lock_guard<std::mutex> hold(gs.prefixMutex);
        memcpy(prefix, gs.prefix, sizeof prefix);
    }
    // "[prefix]Tag label" followed by the value, formatted in one go so that
    // no line buffer has to be allocated.
    QXLogPrint(5, "[%s]%s %s%s", prefix, tag, orEmpty(label), orEmpty(value));
}

void writeTaggedNumber(const char* tag, const char* label, long number) {
    char value[32];
    snprintf(value, sizeof value, "%ld", number);
    writeTagged(tag, label, value);
}

} // namespace

bool setLog(const char* prefixName) {
    if (gs.ready.load())
        return true;
    if (prefixName == nullptr) {
        gs.ready.store(false);
        return false;
    }
    {
        std::lock_guard<std::mutex> hold(gs.prefixMutex);
        snprintf(gs.prefix, sizeof gs.prefix, "%s", prefixName);
    }

    const std::string fileName = std::string(kSettingsSection) + ".ini";
    std::string candidates[3];
    if (char* folder = getModuleFolder()) {
        candidates[0] = std::string(folder) + "/" + fileName;
        free(folder);
    }
    if (char* folder = getWindowsFolder()) {
        candidates[1] = std::string(folder) + "/" + fileName;
        free(folder);
    }
    if (char* folder = getUserTempPath()) {
        std::string temp = folder;
        free(folder);
        if (!temp.empty()) {
            if (temp.back() != '/')
                temp += '/';
            candidates[2] = temp + fileName;
        }
    }
    std::string chosen = fileName; // bare name: the library searches its own folders
    for (const std::string& candidate : candidates) {
        if (!candidate.empty() && fileExists(candidate.c_str())) {
            chosen = candidate;
            break;
        }
    }
    int result = QXLogInit(kSettingsSection, chosen.c_str());
    QXLogPrint(5, "%s %d %s Compile Time : %s %s", sourceName(__FILE__), __LINE__, "setLog",
               __DATE__, __TIME__);
    gs.ready.exchange(result == 0);
    bool ready = gs.ready.load();
    if (ready)
        logNormal("Log state: ", "Enable");
    return ready;
}

bool isLogReady() {
    return gs.ready.load();
}

bool exchangeLogReady(bool ready) {
    return gs.ready.exchange(ready);
}

void logNormal(const char* label, const char* text) {
    writeTagged("[Normal]", label, text);
}

void logNormalNumber(const char* label, long number) {
    writeTaggedNumber("[Normal]", label, number);
}

void logNormalWide(const char* label, const char* text) {
    writeTagged("[Normal]", label, orEmpty(text));
}

void logError(const char* label, const char* text) {
    writeTagged("[Error]", label, text);
}

void logErrorNumber(const char* label, long number) {
    writeTaggedNumber("[Error]", label, number);
}

void logWarning(const char* label, const char* text) {
    writeTagged("[Warning]", label, text);
}

void logWarningNumber(const char* label, long number) {
    writeTaggedNumber("[Warning]", label, number);
}

void logPlain(const char* text, const char* value) {
    QXLogPrint(5, "%s%s", orEmpty(text), orEmpty(value));
}

void logPlainWide(const char* text, const char* value) {
    QXLogPrint(5, "%s%s", orEmpty(text), orEmpty(value));
}

void logExistence(const char* label, bool exists) {
    if (!gs.ready.load())
        return;
    if (exists)
        logNormal(label, "Exist");
    else
        logError(label, "Not Exist");
}

void logChoice(const char* label, bool flag, const char* textIfTrue, const char* textIfFalse) {
    if (!gs.ready.load())
        return;
    logNormal(label, flag ? textIfTrue : textIfFalse);
}

void logNullParameter(const char* name, const char* file, int line) {
    char value[512];
    snprintf(value, sizeof value, "Parameter %s is null at %s %d", orEmpty(name), sourceName(file),
             line);
    logWarning("", value);
}

void logAllocationFailure(const char* file, int line) {
    logError("Memory allocate fail at file: ", sourceName(file));
    logErrorNumber("Memory allocate fail at line: ", line);
}

void logSeparator() {
    if (!gs.ready.load())
        return;
    char line[80];
    memset(line, '=', 79);
    line[79] = '\0';
    QXLogPrint(5, "%s", line);
}
