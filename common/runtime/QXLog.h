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
