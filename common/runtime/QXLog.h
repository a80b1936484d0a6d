#pragma once
// QXLog: the small log library every deliverable carries. One dated file shared
// by all processes, every line written under the system-wide log lock.

#include <cstdarg>

// Reads the settings file. -1 when logging is already enabled, 0 on success,
// otherwise the settings reader's code for "Log Level" (101-104).
int QXLogInit(const char* section, const char* iniPath);

// Writes one line at the given level. -2 (nothing written) when the level is
// above the threshold; otherwise 0, also when the file cannot be opened.
int QXLogPrint(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));
int QXLogPrintV(int level, const char* format, va_list arguments);

// Level 0 switches logging off; a nonzero level with a path switches it on.
int QXLogSet(const char* filePath, int level);

// ---------------------------------------------------------------------------
// Below: the library's settings reader and name composition, exposed so they
// can be tested on their own, and the test seams of the clock.
// ---------------------------------------------------------------------------

#include <cstddef>
#include <ctime>

// Settings reader result codes.
constexpr int kQXLogSettingFound = 0;
constexpr int kQXLogSettingNoFile = 101;
constexpr int kQXLogSettingNoSection = 102;
constexpr int kQXLogSettingNoKey = 103;
constexpr int kQXLogSettingCut = 104;

// Reads key of section from the settings file iniPath into buffer (always
// terminated when bufferSize > 0). Returns one of the codes above; on 104 the
// buffer holds the value cut to bufferSize - 1 characters.
int QXLogReadSetting(const char* section, const char* key, char* buffer, size_t bufferSize,
                     const char* iniPath);

// Dated file name for filePath on the given day and rotation counter: the
// stem before the last full stop of the file's own name, "_YYYYMMDD", then
// "_counter" when counter > 0, then the extension. Returns the length written
// (the name is cut to outSize - 1), or -1 on bad arguments.
int QXLogComposeFileName(const char* filePath, int year, int month, int day, int counter, char* out,
                         size_t outSize);

// Tests only: a fixed local time for the dated names and time stamps (null
// returns to the clock), and a look at the rotation counter and file path.
void QXLogSetFixedTimeForTesting(const struct tm* fixedLocalTime);
int QXLogRotationCounterForTesting();
// Copies the configured file path (at most outSize - 1 characters).
void QXLogFilePathForTesting(char* out, size_t outSize);
// Tests only: back to the start state (disabled, threshold 0, counter 0,
// default log file /tmp/QXLog.log).
void QXLogResetForTesting();
// Tests only: another default log file, so that no test writes the shared one.
void QXLogSetDefaultFileForTesting(const char* path);
