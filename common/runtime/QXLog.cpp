// QXLog: settings reader, dated file names with size rotation, and the line
// writer. Every line is composed whole and appended with one write(2) while
// the system-wide log lock is held, so lines of different processes and
// threads never interleave and the size check and the write of one line stay
// together. Lines end with "\n" only (the Linux convention).

#include "common/runtime/QXLog.h"

#include "common/platform/Platform.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>

namespace {

constexpr size_t kFilePathSize = 128;
constexpr size_t kLogFileValueSize = 128;
constexpr size_t kMaxSizeValueSize = 64;
constexpr size_t kLevelValueSize = 16;
// A settings line longer than this is read only up to here; the rest of the
// line is skipped so that it can never be taken for a line of its own.
constexpr size_t kMaxSettingLine = 65536;
constexpr const char* kDefaultLogFile = "/tmp/QXLog.log";

struct LogLibraryState {
    std::mutex mutex; // guards every field below but threshold
    int enabled = 0;
    std::atomic<int> threshold{0};
    int maximumSize = 0;
    int rotationCounter = 0;
    char filePath[kFilePathSize] = {};
    bool timeFixed = false;
    struct tm fixedTime {};
    std::string defaultFile = kDefaultLogFile;
};

LogLibraryState gl;

const char* levelTag(int level) {
    static const char* const tags[] = {"", "[FATAL]", "[ERROR]", "[WARN ]", "[INFO ]", "[DEBUG]"};
    if (level <= 0)
        return tags[0];
    if (level > 5)
        return tags[5];
    return tags[level];
}

// Reads one line without its line feed. False at the end of the file.
bool readLine(std::ifstream& file, std::string& line) {
    line.clear();
    char c;
    bool any = false;
    while (file.get(c)) {
        any = true;
        if (c == '\n')
            return true;
        if (line.size() < kMaxSettingLine)
            line += c;
    }
    return any;
}

// "[name]" after leading blanks, "]" the last non-blank; outName is trimmed.
bool sectionHeader(const std::string& line, std::string& outName) {
    size_t start = line.find_first_not_of(" \t\r\n\f\v");
    if (start == std::string::npos || line[start] != '[')
        return false;
    size_t end = line.find_last_not_of(" \t\r\n\f\v");
    if (end == start || line[end] != ']')
        return false;
    std::string name = line.substr(start + 1, end - start - 1);
    size_t first = name.find_first_not_of(" \t\r\n\f\v");
    if (first == std::string::npos) {
        outName.clear();
        return true;
    }
    size_t last = name.find_last_not_of(" \t\r\n\f\v");
    outName = name.substr(first, last - first + 1);
    return true;
}

// Decimal as the settings file writes it: leading blanks, sign, digits up to
// the first other character; no digits gives 0. Clamped to the int range.
int decimalValue(const char* text) {
    errno = 0;
    long value = strtol(text, nullptr, 10);
    if (value > INT_MAX)
        return INT_MAX;
    if (value < INT_MIN)
        return INT_MIN;
    return static_cast<int>(value);
}

void currentTime(struct tm& outLocal, unsigned long& outMilliseconds) {
    struct timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);
    outMilliseconds = static_cast<unsigned long>(now.tv_nsec / 1000000);
    std::lock_guard<std::mutex> hold(gl.mutex);
    if (gl.timeFixed) {
        outLocal = gl.fixedTime;
        return;
    }
    time_t seconds = now.tv_sec;
    if (localtime_r(&seconds, &outLocal) == nullptr)
        memset(&outLocal, 0, sizeof outLocal);
}

// Dated name of the current file, moving the rotation counter past every file
// that is over the maximum size. Called with gl.mutex held and under the log
// lock. A path whose name has no full stop rotates with "_counter" appended,
// so the loop always reaches a name not yet over the maximum.
std::string datedFileNameLocked(const struct tm& local) {
    char name[4096];
    for (;;) {
        if (QXLogComposeFileName(gl.filePath, local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                                 gl.rotationCounter, name, sizeof name) < 0)
            return "";
        if (gl.maximumSize <= 0)
            return name;
        struct stat info {};
        if (stat(name, &info) != 0 || info.st_size <= static_cast<off_t>(gl.maximumSize))
            return name;
        if (gl.rotationCounter == INT_MAX)
            return name;
        gl.rotationCounter++;
    }
}

bool readSettingIfFound(const char* section, const char* key, char* buffer, size_t size,
                        const std::string& path) {
    return QXLogReadSetting(section, key, buffer, size, path.c_str()) == kQXLogSettingFound;
}

} // namespace

// ---------------------------------------------------------------------------
// Settings reader
// ---------------------------------------------------------------------------

int QXLogReadSetting(const char* section, const char* key, char* buffer, size_t bufferSize,
                     const char* iniPath) {
    if (buffer != nullptr && bufferSize > 0)
        buffer[0] = '\0';
    if (iniPath == nullptr)
        return kQXLogSettingNoFile;
    std::ifstream file(iniPath, std::ios::binary);
    if (!file)
        return kQXLogSettingNoFile;
    if (section == nullptr || key == nullptr || buffer == nullptr || bufferSize == 0)
        return kQXLogSettingNoSection;

    std::string line;
    std::string name;
    bool inSection = false;
    while (readLine(file, line)) {
        if (sectionHeader(line, name) && !name.empty() && strcasecmp(name.c_str(), section) == 0) {
            inSection = true;
            break;
        }
    }
    if (!inSection)
        return kQXLogSettingNoSection;

    const size_t keyLength = strlen(key);
    while (readLine(file, line)) {
        if (sectionHeader(line, name))
            break;
        size_t start = line.find_first_not_of(" \t\r\n\f\v");
        if (start == std::string::npos || line[start] == ';')
            continue;
        size_t equals = line.find('=', start);
        if (equals == std::string::npos || equals - start != keyLength ||
            strncasecmp(line.c_str() + start, key, keyLength) != 0)
            continue;
        std::string value = line.substr(equals + 1);
        while (!value.empty() && (value.back() == '\r' || value.back() == '\n'))
            value.pop_back();
        size_t first = value.find_first_not_of(" \t\r\n\f\v");
        if (first != std::string::npos && (value[first] == '"' || value[first] == '\'')) {
            size_t closing = value.rfind(value[first]);
            if (closing > first)
                value = value.substr(first + 1, closing - first - 1);
        }
        bool cut = value.size() > bufferSize - 1;
        size_t copyLength = cut ? bufferSize - 1 : value.size();
        memcpy(buffer, value.data(), copyLength);
        buffer[copyLength] = '\0';
        if (copyLength > 0 && buffer[copyLength - 1] == '\n')
            buffer[copyLength - 1] = '\0';
        return cut ? kQXLogSettingCut : kQXLogSettingFound;
    }
    return kQXLogSettingNoKey;
}

int QXLogComposeFileName(const char* filePath, int year, int month, int day, int counter, char* out,
                         size_t outSize) {
    if (filePath == nullptr || out == nullptr || outSize == 0)
        return -1;
    std::string path = filePath;
    // Only a full stop of the file's own name starts the extension: a full
    // stop in a folder name ("/home/u/.local/x") must not move the file into
    // a folder that does not exist.
    size_t slash = path.rfind('/');
    size_t dot = path.rfind('.');
    bool hasExtension = dot != std::string::npos && (slash == std::string::npos || dot > slash);
    char date[64];
    if (counter > 0)
        snprintf(date, sizeof date, "_%04d%02d%02d_%d", year, month, day, counter);
    else
        snprintf(date, sizeof date, "_%04d%02d%02d", year, month, day);
    std::string name = hasExtension ? path.substr(0, dot) + date + path.substr(dot) : path + date;
    size_t length = name.size() < outSize - 1 ? name.size() : outSize - 1;
    memcpy(out, name.data(), length);
    out[length] = '\0';
    return static_cast<int>(length);
}

// ---------------------------------------------------------------------------
// Library interface
// ---------------------------------------------------------------------------

int QXLogInit(const char* section, const char* iniPath) {
    {
        std::lock_guard<std::mutex> hold(gl.mutex);
        if (gl.enabled == 1)
            return -1;
    }
    if (section == nullptr)
        section = "";
    std::string path = iniPath != nullptr ? iniPath : "";

    if (path.find('/') == std::string::npos && path.find('\\') == std::string::npos) {
        char probe[kLogFileValueSize];
        std::string bare = path;
        path = platformSysconfFolder() + "/" + bare;
        if (!readSettingIfFound(section, "Log File", probe, sizeof probe, path)) {
            std::string home = platformHomeFolder();
            path = (home.empty() ? std::string("/") : home) + bare;
            if (!readSettingIfFound(section, "Log File", probe, sizeof probe, path))
                path = "/tmp/" + bare;
        }
    }

    char logFile[kLogFileValueSize];
    char maximum[kMaxSizeValueSize];
    char level[kLevelValueSize];
    bool haveFile =
        QXLogReadSetting(section, "Log File", logFile, sizeof logFile, path.c_str()) == 0;
    bool haveMaximum =
        QXLogReadSetting(section, "Log MaxSize", maximum, sizeof maximum, path.c_str()) == 0;
    int levelCode = QXLogReadSetting(section, "Log Level", level, sizeof level, path.c_str());

    int threshold = 0;
    {
        std::lock_guard<std::mutex> hold(gl.mutex);
        snprintf(gl.filePath, sizeof gl.filePath, "%s",
                 haveFile ? logFile : gl.defaultFile.c_str());
        gl.maximumSize = haveMaximum ? decimalValue(maximum) : 0;
        if (levelCode != 0) {
            gl.threshold.store(0);
        } else {
            threshold = decimalValue(level);
            gl.threshold.store(threshold);
            gl.enabled = 1;
        }
    }
    if (levelCode != 0)
        return levelCode;
    QXLogPrint(threshold, "Log Enable '%s'", path.c_str());
    return 0;
}

int QXLogPrint(int level, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    int result = QXLogPrintV(level, format, arguments);
    va_end(arguments);
    return result;
}

int QXLogPrintV(int level, const char* format, va_list arguments) {
    if (level > gl.threshold.load())
        return -2;
    {
        // Nothing is written before a settings file switched logging on.
        std::lock_guard<std::mutex> hold(gl.mutex);
        if (gl.enabled != 1)
            return -2;
    }
    if (format == nullptr)
        format = "";

    std::string message;
    {
        va_list copy;
        va_copy(copy, arguments);
        char small[1024];
        int length = vsnprintf(small, sizeof small, format, copy);
        va_end(copy);
        if (length < 0) {
            message.clear();
        } else if (static_cast<size_t>(length) < sizeof small) {
            message.assign(small, static_cast<size_t>(length));
        } else {
            message.resize(static_cast<size_t>(length) + 1);
            va_list again;
            va_copy(again, arguments);
            vsnprintf(message.data(), message.size(), format, again);
            va_end(again);
            message.resize(static_cast<size_t>(length));
        }
    }

    struct tm local {};
    unsigned long milliseconds = 0;
    currentTime(local, milliseconds);

    char head[160];
    snprintf(head, sizeof head, "%d-%02d-%02d %02d:%02d:%02d.%03lu %s [%05lu-%05lu] ",
             local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
             local.tm_sec, milliseconds, levelTag(level),
             static_cast<unsigned long>(getpid()) % 100000UL,
             static_cast<unsigned long>(gettid()) % 100000UL);
    std::string line = head;
    line += message;
    line += '\n';

    std::lock_guard<std::mutex> hold(gl.mutex);
    int lock = platformLogLockAcquire();
    std::string name = datedFileNameLocked(local);
    if (!name.empty()) {
        int descriptor = open(name.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
        if (descriptor >= 0) {
            const char* data = line.data();
            size_t left = line.size();
            while (left > 0) {
                ssize_t written = write(descriptor, data, left);
                if (written < 0) {
                    if (errno == EINTR)
                        continue;
                    break;
                }
                data += written;
                left -= static_cast<size_t>(written);
            }
            close(descriptor);
        }
    }
    platformLogLockRelease(lock);
    return 0;
}

int QXLogSet(const char* filePath, int level) {
    std::lock_guard<std::mutex> hold(gl.mutex);
    if (level == 0) {
        gl.enabled = 0;
        gl.threshold.store(0);
    } else if (filePath != nullptr) {
        snprintf(gl.filePath, sizeof gl.filePath, "%s", filePath);
        gl.threshold.store(level);
        gl.enabled = 1;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Test seams
// ---------------------------------------------------------------------------

void QXLogSetFixedTimeForTesting(const struct tm* fixedLocalTime) {
    std::lock_guard<std::mutex> hold(gl.mutex);
    gl.timeFixed = fixedLocalTime != nullptr;
    if (fixedLocalTime != nullptr)
        gl.fixedTime = *fixedLocalTime;
}

int QXLogRotationCounterForTesting() {
    std::lock_guard<std::mutex> hold(gl.mutex);
    return gl.rotationCounter;
}

void QXLogFilePathForTesting(char* out, size_t outSize) {
    if (out == nullptr || outSize == 0)
        return;
    std::lock_guard<std::mutex> hold(gl.mutex);
    snprintf(out, outSize, "%s", gl.filePath);
}

void QXLogResetForTesting() {
    std::lock_guard<std::mutex> hold(gl.mutex);
    gl.enabled = 0;
    gl.threshold.store(0);
    gl.maximumSize = 0;
    gl.rotationCounter = 0;
    gl.filePath[0] = '\0';
    gl.timeFixed = false;
    gl.defaultFile = kDefaultLogFile;
}

void QXLogSetDefaultFileForTesting(const char* path) {
    std::lock_guard<std::mutex> hold(gl.mutex);
    gl.defaultFile = path != nullptr ? path : kDefaultLogFile;
}
