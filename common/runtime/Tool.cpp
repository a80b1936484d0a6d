// Utility library: strings, numbers, versions, identifiers, folders, files,
// per-user locks, program starts and the port probe.

#include "common/runtime/Tool.h"

#include "common/platform/Platform.h"
#include "common/runtime/Log.h"

#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace {

constexpr const char* kIdentifierAlphabet = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
constexpr size_t kVersionBufferSize = 512;

// Conversions report through this value; kept per thread so that a
// conversion on one thread cannot overwrite the outcome another is reading.
thread_local int tConversionError = 0;

struct ToolState {
    std::mutex mutex;
    std::string copyPath;
};

ToolState gt;

char* heapCopy(const std::string& text) {
    char* copy = static_cast<char*>(calloc(text.size() + 1, 1));
    if (copy == nullptr) {
        KESTROVA_ALLOC_FAIL();
        return nullptr;
    }
    memcpy(copy, text.data(), text.size());
    return copy;
}

bool isDecimalDigit(char c) {
    return c >= '0' && c <= '9';
}

int hexDigitValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return 0;
}

// strtol with the 32-bit range of the system's long and the two error codes.
long convert(const char* text, int base) {
    if (text == nullptr) {
        tConversionError = kResultNullText;
        return 0;
    }
    errno = 0;
    char* end = nullptr;
    long long value = strtoll(text, &end, base);
    if (end == text || errno == ERANGE || value > INT32_MAX || value < INT32_MIN) {
        tConversionError = kResultNotANumber;
        return 0;
    }
    tConversionError = 0;
    return static_cast<long>(value);
}

void versionMismatchWarnings(const char* partA, const char* partB) {
    logWarning("Version check: ", "String compare mode");
    logWarning(" - Version A: ", partA);
    logWarning(" - Version B: ", partB);
}

// Copy cut at 511 characters, blanks removed, "." made ",", split at ",".
char** versionParts(const char* version) {
    char buffer[kVersionBufferSize];
    copyBounded(buffer, sizeof buffer, version);
    std::string cleaned;
    for (const char* c = buffer; *c != '\0'; c++) {
        if (*c == ' ' || *c == '\t')
            continue;
        cleaned += *c == '.' ? ',' : *c;
    }
    return splitString(cleaned.c_str(), ",");
}

} // namespace

// ---------------------------------------------------------------------------
// Secrets and bounded copies
// ---------------------------------------------------------------------------

void secureWipe(void* p, size_t n) {
    if (p != nullptr && n > 0)
        explicit_bzero(p, n);
}

void freeSecret(char* text) {
    if (text == nullptr)
        return;
    explicit_bzero(text, strlen(text));
    free(text);
}

void copyBounded(char* buffer, size_t size, const char* text) {
    if (buffer == nullptr || size == 0 || text == nullptr)
        return;
    size_t length = strnlen(text, size - 1);
    memmove(buffer, text, length);
    buffer[length] = '\0';
    buffer[size - 1] = '\0';
}

void takeBounded(char* buffer, size_t size, char* heapText) {
    copyBounded(buffer, size, heapText);
    freeSecret(heapText);
}

// ---------------------------------------------------------------------------
// Strings
// ---------------------------------------------------------------------------

char* copyString(const char* text) {
    if (text == nullptr)
        return nullptr;
    size_t length = strlen(text);
    char* copy = static_cast<char*>(calloc(length + 1, 1));
    if (copy == nullptr) {
        KESTROVA_ALLOC_FAIL();
        return nullptr;
    }
    memcpy(copy, text, length);
    return copy;
}

void* allocZeroed(size_t size) {
    if (size == 0 || size > 2147483647u)
        return nullptr;
    void* block = calloc(size, 1);
    if (block == nullptr)
        KESTROVA_ALLOC_FAIL();
    return block;
}

char* replaceAll(const char* text, const char* from, const char* to) {
    if (text == nullptr)
        return nullptr;
    if (from == nullptr)
        from = "";
    if (to == nullptr)
        to = "";
    size_t fromLength = strlen(from);
    if (fromLength == 0)
        return copyString(text);
    std::string result;
    const char* rest = text;
    while (const char* found = strstr(rest, from)) {
        result.append(rest, static_cast<size_t>(found - rest));
        result += to;
        rest = found + fromLength;
    }
    result += rest;
    return heapCopy(result);
}

char* stripExeSuffix(const char* path) {
    if (path == nullptr) {
        KESTROVA_NULL_PARAM("input");
        return nullptr;
    }
    return replaceAll(path, ".exe", "");
}

bool startsWith(const char* prefix, const char* mainString) {
    if (prefix == nullptr)
        return true;
    if (mainString == nullptr) {
        KESTROVA_NULL_PARAM("inputMainString");
        return false;
    }
    return strncmp(prefix, mainString, strlen(prefix)) == 0;
}

char* substring(const char* text, size_t from, size_t to) {
    if (text == nullptr) {
        KESTROVA_NULL_PARAM("input");
        return nullptr;
    }
    size_t length = strlen(text);
    if (to < from || from > length)
        return nullptr;
    if (to > length)
        to = length;
    return heapCopy(std::string(text + from, to - from));
}

char* toLowerCopy(const char* text) {
    if (text == nullptr) {
        KESTROVA_NULL_PARAM("input");
        return nullptr;
    }
    char* copy = copyString(text);
    if (copy == nullptr)
        return nullptr;
    for (char* c = copy; *c != '\0'; c++) {
        if (*c >= 'A' && *c <= 'Z')
            *c = static_cast<char>(*c - 'A' + 'a');
    }
    return copy;
}

char* padLeft(const char* text, size_t width, char fill) {
    if (text == nullptr) {
        KESTROVA_NULL_PARAM("input");
        return nullptr;
    }
    size_t length = strlen(text);
    // A longer text is kept whole: cutting it would change a number's value.
    if (length >= width)
        return copyString(text);
    return heapCopy(std::string(width - length, fill) + text);
}

char** splitString(const char* text, const char* delimiter) {
    std::vector<std::string> pieces;
    if (text != nullptr && text[0] != '\0' && delimiter != nullptr && delimiter[0] != '\0') {
        size_t delimiterLength = strlen(delimiter);
        const char* rest = text;
        while (const char* found = strstr(rest, delimiter)) {
            pieces.emplace_back(rest, static_cast<size_t>(found - rest));
            rest = found + delimiterLength;
        }
        // The rest after the last delimiter, empty when the text ends with it.
        pieces.emplace_back(rest);
    }
    char** list = static_cast<char**>(calloc(pieces.size() + 1, sizeof(char*)));
    if (list == nullptr) {
        KESTROVA_ALLOC_FAIL();
        return nullptr;
    }
    for (size_t i = 0; i < pieces.size(); i++) {
        list[i] = heapCopy(pieces[i]);
        if (list[i] == nullptr) {
            freeStringList(list);
            return nullptr;
        }
    }
    return list;
}

size_t stringListLength(char** list) {
    size_t count = 0;
    if (list != nullptr) {
        while (list[count] != nullptr)
            count++;
    }
    return count;
}

void freeStringList(char** list) {
    if (list == nullptr)
        return;
    for (char** item = list; *item != nullptr; item++)
        free(*item);
    free(list);
}

// ---------------------------------------------------------------------------
// Numbers and hex
// ---------------------------------------------------------------------------

long stringToLong(const char* text, bool strict) {
    if (text != nullptr && strict) {
        const char* c = text[0] == '-' ? text + 1 : text;
        if (*c == '\0') {
            tConversionError = kResultNotANumber;
            return 0;
        }
        for (; *c != '\0'; c++) {
            if (!isDecimalDigit(*c)) {
                tConversionError = kResultNotANumber;
                return 0;
            }
        }
    }
    return convert(text, 10);
}

long hexToLong(const char* text) {
    return convert(text, 16);
}

bool lastConversionFailed() {
    return tConversionError == kResultNotANumber || tConversionError == kResultNullText;
}

int lastConversionError() {
    return tConversionError;
}

unsigned char* hexToBytes(const char* hexText, size_t* outLength) {
    if (outLength != nullptr)
        *outLength = 0;
    if (hexText == nullptr) {
        KESTROVA_NULL_PARAM("input");
        return nullptr;
    }
    size_t count = strlen(hexText) / 2;
    unsigned char* bytes = static_cast<unsigned char*>(calloc(count + 1, 1));
    if (bytes == nullptr) {
        KESTROVA_ALLOC_FAIL();
        return nullptr;
    }
    for (size_t i = 0; i < count; i++)
        bytes[i] = static_cast<unsigned char>(hexDigitValue(hexText[2 * i]) * 16 +
                                              hexDigitValue(hexText[2 * i + 1]));
    if (outLength != nullptr)
        *outLength = count;
    return bytes;
}

char* bytesToHex(const unsigned char* bytes, size_t length) {
    static const char digits[] = "0123456789ABCDEF";
    if (bytes == nullptr) {
        KESTROVA_NULL_PARAM("input");
        return nullptr;
    }
    char* text = static_cast<char*>(calloc(2 * length + 1, 1));
    if (text == nullptr) {
        KESTROVA_ALLOC_FAIL();
        return nullptr;
    }
    for (size_t i = 0; i < length; i++) {
        text[2 * i] = digits[bytes[i] >> 4];
        text[2 * i + 1] = digits[bytes[i] & 0x0F];
    }
    return text;
}

// ---------------------------------------------------------------------------
// Versions
// ---------------------------------------------------------------------------

int compareVersion(const char* versionA, const char* versionB) {
    if (versionA == nullptr) {
        KESTROVA_NULL_PARAM("inputVersionA");
        return kResultBadInput;
    }
    if (versionB == nullptr) {
        KESTROVA_NULL_PARAM("inputVersionB");
        return kResultBadInput;
    }
    std::unique_ptr<char*, void (*)(char**)> partsA(versionParts(versionA), freeStringList);
    std::unique_ptr<char*, void (*)(char**)> partsB(versionParts(versionB), freeStringList);
    if (!partsA || !partsB)
        return kResultBadInput;
    size_t count = stringListLength(partsA.get());
    if (count != stringListLength(partsB.get()))
        return 3;
    for (size_t i = 0; i < count; i++) {
        if (partsA.get()[i][0] == '\0' || partsB.get()[i][0] == '\0')
            return kResultEmptyPart;
    }
    for (size_t i = 0; i < count; i++) {
        const char* a = partsA.get()[i];
        const char* b = partsB.get()[i];
        long numberA = stringToLong(a, true);
        if (lastConversionFailed()) {
            versionMismatchWarnings(a, b);
            if (strcmp(a, b) != 0)
                return 2;
            continue;
        }
        long numberB = stringToLong(b, true);
        if (lastConversionFailed()) {
            if (strcmp(a, b) == 0)
                continue;
            versionMismatchWarnings(a, b);
            return 2;
        }
        if (numberA < numberB)
            return -1;
        if (numberA > numberB)
            return 1;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Identifiers and randomness
// ---------------------------------------------------------------------------

bool randomBytes(void* buffer, size_t length) {
    if (buffer == nullptr) {
        KESTROVA_NULL_PARAM("buffer");
        return false;
    }
    return platformRandomBytes(buffer, length);
}

char* makeSessionId() {
    unsigned char bytes[8] = {};
    if (!randomBytes(bytes, sizeof bytes))
        memset(bytes, 0, sizeof bytes);
    char identifier[9] = {};
    for (size_t i = 0; i < sizeof bytes; i++)
        identifier[i] = kIdentifierAlphabet[bytes[i] % 36];
    char text[512];
    snprintf(text, sizeof text, "%s_SID", identifier);
    return copyString(text);
}

// ---------------------------------------------------------------------------
// Folders and files
// ---------------------------------------------------------------------------

char* getModuleFolder() {
    return heapCopy(platformExecutableFolder());
}

char* getWindowsFolder() {
    std::string folder = platformSysconfFolder();
    if (folder.empty())
        return nullptr;
    return heapCopy(folder);
}

char* getUserTempPath() {
    return heapCopy(platformUserTempFolder());
}

char* currentUserName() {
    std::string name = platformUserName();
    if (name.empty())
        return nullptr;
    return heapCopy(name);
}

char* getCopyPath(const char* subPath) {
    std::string folder = platformCommonAppDataFolder();
    if (folder.empty()) {
        logError("Get copy path: ", "Fail");
        return heapCopy("");
    }
    if (subPath != nullptr) {
        if (folder.back() != '/')
            folder += '/';
        folder += subPath;
    }
    {
        std::lock_guard<std::mutex> hold(gt.mutex);
        gt.copyPath = folder;
    }
    return heapCopy(folder);
}

char* storedCopyPath() {
    std::lock_guard<std::mutex> hold(gt.mutex);
    return heapCopy(gt.copyPath);
}

char* getDesktopFolder() {
    std::string folder = platformDesktopFolder();
    if (folder.empty())
        return nullptr;
    return heapCopy(folder);
}

bool fileExists(const char* path) {
    if (path == nullptr) {
        KESTROVA_NULL_PARAM("inputFileName");
        return false;
    }
    struct stat info {};
    if (stat(path, &info) == 0)
        return !S_ISDIR(info.st_mode);
    return errno != ENOENT && errno != ENOTDIR;
}

char* readTextFile(const char* path, size_t maxBytes) {
    if (path == nullptr) {
        logWarning("inputPath is null", "");
        return nullptr;
    }
    std::unique_ptr<FILE, int (*)(FILE*)> file(fopen(path, "rb"), fclose);
    if (!file) {
        logWarning("Read file pointer is null", "");
        return nullptr;
    }
    std::string text;
    char chunk[8192];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, file.get())) > 0) {
        if (text.size() + got > maxBytes) {
            logWarning("Read file too large: ", path);
            return nullptr;
        }
        text.append(chunk, got);
    }
    if (ferror(file.get()))
        return nullptr;
    // Text mode: a carriage return before a line feed is dropped.
    std::string lines;
    lines.reserve(text.size());
    for (size_t i = 0; i < text.size(); i++) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
            continue;
        lines += text[i];
    }
    if (lines.empty())
        return nullptr;
    return heapCopy(lines);
}

bool writeTextFile(const char* path, const char* text) {
    if (path == nullptr || path[0] == '\0' || text == nullptr)
        return false;
    FILE* file = fopen(path, "w");
    if (file == nullptr)
        return false;
    size_t length = strlen(text);
    bool written = fwrite(text, 1, length, file) == length;
    if (fclose(file) != 0)
        written = false;
    return written;
}

bool createFoldersAlongPath(const char* path) {
    if (path == nullptr || path[0] == '\0')
        return true;
    bool made = true;
    for (const char* c = path + 1; *c != '\0'; c++) {
        if (*c != '/' && *c != '\\')
            continue;
        std::string prefix(path, static_cast<size_t>(c - path));
        if (mkdir(prefix.c_str(), 0777) != 0 && errno != EEXIST)
            made = false;
    }
    return made;
}

char* localTimeText() {
    time_t now = time(nullptr);
    struct tm local {};
    if (localtime_r(&now, &local) == nullptr)
        return copyString("Unknow time");
    int fields[5] = {local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec};
    std::string padded[5];
    for (int i = 0; i < 5; i++) {
        char number[16];
        snprintf(number, sizeof number, "%d", fields[i]);
        char* two = padLeft(number, 2, '0');
        if (two == nullptr)
            return nullptr;
        padded[i] = two;
        free(two);
    }
    char text[64];
    snprintf(text, sizeof text, "%d-%s-%s %s-%s-%s", local.tm_year + 1900, padded[0].c_str(),
             padded[1].c_str(), padded[2].c_str(), padded[3].c_str(), padded[4].c_str());
    return copyString(text);
}

// ---------------------------------------------------------------------------
// Per-user named locks
// ---------------------------------------------------------------------------

MutexLock* getMutexLock(const char* name, unsigned waitMilliseconds) {
    if (name == nullptr) {
        KESTROVA_NULL_PARAM("inputMutexLock");
        return nullptr;
    }
    std::string user = platformUserName();
    if (user.empty()) {
        KESTROVA_ALLOC_FAIL();
        return nullptr;
    }
    std::string full = user + "_" + name;
    int error = 0;
    MutexLock* lock = platformLockAcquire(full.c_str(), waitMilliseconds, &error);
    if (lock == nullptr && error != 0)
        KESTROVA_ALLOC_FAIL();
    return lock;
}

void releaseMutexLock(MutexLock* lock) {
    platformLockRelease(lock);
}

// ---------------------------------------------------------------------------
// Programs and ports
// ---------------------------------------------------------------------------

int runHiddenAndWait(const char* command, bool throughShell) {
    if (command == nullptr)
        return 1;
    return platformRunAndWait(command, throughShell);
}

bool hideNOWaitCommand(const char* command) {
    if (command == nullptr) {
        KESTROVA_NULL_PARAM("inputCommand");
        return false;
    }
    logNormal("hideNOWaitCommand: ", command);
    return platformStartDetached(command);
}

bool isLocalPortInUse(int port, bool ipv6) {
    return platformLocalPortInUse(port, ipv6);
}
