#include "common/runtime/OSInfo.h"
#include <cstdlib>
#include <cstring>
uint32_t classifyWindowsVersion(const WindowsVersionInfo& info) { return 0; }
uint32_t identifyOS() { return kOsLinux | kOsArch64; }
char* osName(uint32_t flags) { return strdup("UnknowOS"); }
