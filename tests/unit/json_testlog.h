#pragma once
// Sends the log lines of a json/aes test program to a private temporary
// folder, so a test can check what the map and the codecs write (masks,
// warnings, parse errors) through the real log facility.

#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "common/runtime/Log.h"
#include "common/runtime/QXLog.h"

namespace jsontest {

inline std::string& logFolder() {
    static std::string folder;
    return folder;
}

inline void forEachLogFile(void (*visit)(const std::string& path, std::string* out),
                           std::string* out) {
    DIR* dir = opendir(logFolder().c_str());
    if (dir == nullptr) {
        return;
    }
    while (dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..") {
            visit(logFolder() + "/" + name, out);
        }
    }
    closedir(dir);
}

inline void removeLogFolder();

// Starts logging at level 5 into a new folder (the log file name gets its
// date added by the log library, so every file of the folder is read).
inline void startLog() {
    if (logFolder().empty()) {
        // The log library keeps at most 127 characters of the file path.
        const char* temp = getenv("TMPDIR");
        std::string base = temp != nullptr && *temp != '\0' && strlen(temp) < 80 ? temp : "/tmp";
        std::string pattern = base + "/kjsonlogXXXXXX";
        bool made = mkdtemp(pattern.data()) != nullptr;
        if (!made) {
            pattern = "/tmp/kjsonlogXXXXXX";
            made = mkdtemp(pattern.data()) != nullptr;
        }
        if (made) {
            logFolder() = pattern;
            atexit(removeLogFolder);
        }
    }
    QXLogSet((logFolder() + "/json.log").c_str(), 5);
    exchangeLogReady(true);
}

inline void stopLog() {
    exchangeLogReady(false);
    QXLogSet(nullptr, 0);
}

inline std::string readLog() {
    std::string all;
    forEachLogFile(
        [](const std::string& path, std::string* out) {
            std::ifstream file(path);
            std::stringstream text;
            text << file.rdbuf();
            *out += text.str();
        },
        &all);
    return all;
}

inline void clearLog() {
    forEachLogFile([](const std::string& path, std::string*) { unlink(path.c_str()); }, nullptr);
}

// Removes the folder when the program ends.
inline void removeLogFolder() {
    stopLog();
    clearLog();
    if (!logFolder().empty()) {
        rmdir(logFolder().c_str());
    }
}

// Clears the log before a test and leaves logging as the test found it.
struct ScopedLog {
    ScopedLog() {
        startLog();
        clearLog();
    }
    ~ScopedLog() { stopLog(); }
    std::string text() const { return readLog(); }
};

} // namespace jsontest
