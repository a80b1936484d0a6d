#include "common/runtime/QXLog.h"
int QXLogInit(const char* section, const char* iniPath) { return 101; }
int QXLogPrint(int level, const char* format, ...) { return -2; }
int QXLogPrintV(int level, const char* format, va_list arguments) { return -2; }
int QXLogSet(const char* filePath, int level) { return 0; }
