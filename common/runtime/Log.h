#pragma once
// Program-level log layer: setLog and the tagged line writers. Every line reads
// "[prefix][Tag] label value" and is written at level 5 through QXLog.
// Texts are UTF-8; the *Wide writers keep their names and take UTF-8 too.

#include <cstdint>

// Finds ARDEQKestrova.ini and switches logging on. True when logging is ready.
bool setLog(const char* prefixName);
// True after a successful setLog (read without a lock).
bool isLogReady();
// Exchanges the ready flag; returns the previous value. Used by the log switch.
bool exchangeLogReady(bool ready);

void logNormal(const char* label, const char* text);
void logNormalNumber(const char* label, long number);
void logNormalWide(const char* label, const char* text);
void logError(const char* label, const char* text);
void logErrorNumber(const char* label, long number);
void logWarning(const char* label, const char* text);
void logWarningNumber(const char* label, long number);
void logPlain(const char* text, const char* value);
void logPlainWide(const char* text, const char* value);
void logExistence(const char* label, bool exists);
void logChoice(const char* label, bool flag, const char* textIfTrue, const char* textIfFalse);

// The two conventions of all own code.
void logNullParameter(const char* name, const char* file, int line);
void logAllocationFailure(const char* file, int line);

// Writes the separator line of 79 "=" when logging is ready.
void logSeparator();

#define KESTROVA_NULL_PARAM(name) logNullParameter((name), __FILE__, __LINE__)
#define KESTROVA_ALLOC_FAIL() logAllocationFailure(__FILE__, __LINE__)
