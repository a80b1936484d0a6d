#include "common/runtime/Tool.h"
#include <cstdlib>
#include <cstring>
#include <strings.h>
void secureWipe(void* p, size_t n) { if (p) explicit_bzero(p, n); }
void freeSecret(char* text) { if (text) { explicit_bzero(text, strlen(text)); free(text); } }
void copyBounded(char* buffer, size_t size, const char* text) {}
void takeBounded(char* buffer, size_t size, char* heapText) {}
char* copyString(const char* text) { return text ? strdup(text) : nullptr; }
void* allocZeroed(size_t size) { return nullptr; }
char* replaceAll(const char* text, const char* from, const char* to) { return nullptr; }
char* stripExeSuffix(const char* path) { return nullptr; }
bool startsWith(const char* prefix, const char* mainString) { return false; }
char* substring(const char* text, size_t from, size_t to) { return nullptr; }
char* toLowerCopy(const char* text) { return nullptr; }
char* padLeft(const char* text, size_t width, char fill) { return nullptr; }
char** splitString(const char* text, const char* delimiter) { return nullptr; }
size_t stringListLength(char** list) { return 0; }
void freeStringList(char** list) {}
long stringToLong(const char* text, bool strict) { return 0; }
long hexToLong(const char* text) { return 0; }
bool lastConversionFailed() { return false; }
int lastConversionError() { return 0; }
unsigned char* hexToBytes(const char* hexText, size_t* outLength) { return nullptr; }
char* bytesToHex(const unsigned char* bytes, size_t length) { return nullptr; }
int compareVersion(const char* versionA, const char* versionB) { return 61001; }
bool randomBytes(void* buffer, size_t length) { return false; }
char* makeSessionId() { return strdup("00000000_SID"); }
char* getModuleFolder() { return nullptr; }
char* getWindowsFolder() { return nullptr; }
char* getUserTempPath() { return strdup(""); }
char* currentUserName() { return nullptr; }
char* getCopyPath(const char* subPath) { return strdup(""); }
char* storedCopyPath() { return strdup(""); }
char* getDesktopFolder() { return nullptr; }
bool fileExists(const char* path) { return false; }
char* readTextFile(const char* path, size_t maxBytes) { return nullptr; }
bool writeTextFile(const char* path, const char* text) { return false; }
bool createFoldersAlongPath(const char* path) { return false; }
char* localTimeText() { return strdup("Unknow time"); }
MutexLock* getMutexLock(const char* name, unsigned waitMilliseconds) { return nullptr; }
void releaseMutexLock(MutexLock* lock) {}
int runHiddenAndWait(const char* command, bool throughShell) { return 0; }
bool hideNOWaitCommand(const char* command) { return false; }
bool isLocalPortInUse(int port, bool ipv6) { return false; }
