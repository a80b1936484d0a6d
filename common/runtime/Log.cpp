#include "common/runtime/Log.h"
bool setLog(const char* prefixName) { return false; }
bool isLogReady() { return false; }
bool exchangeLogReady(bool ready) { return false; }
void logNormal(const char* label, const char* text) {}
void logNormalNumber(const char* label, long number) {}
void logNormalWide(const char* label, const char* text) {}
void logError(const char* label, const char* text) {}
void logErrorNumber(const char* label, long number) {}
void logWarning(const char* label, const char* text) {}
void logWarningNumber(const char* label, long number) {}
void logPlain(const char* text, const char* value) {}
void logPlainWide(const char* text, const char* value) {}
void logExistence(const char* label, bool exists) {}
void logChoice(const char* label, bool flag, const char* textIfTrue, const char* textIfFalse) {}
void logNullParameter(const char* name, const char* file, int line) {}
void logAllocationFailure(const char* file, int line) {}
void logSeparator() {}
