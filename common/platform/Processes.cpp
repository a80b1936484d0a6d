#include "common/platform/Platform.h"
pid_t platformStartProgram(const char* command, bool throughShell) { return -1; }
int platformWaitProgram(pid_t pid) { return -1; }
int platformRunAndWait(const char* command, bool throughShell) { return 0; }
bool platformStartDetached(const char* command) { return false; }
std::string platformResolveProgram(const std::string& firstWord) { return firstWord; }
bool platformProcessExists(const char* name) { return false; }
int platformKillByName(const char* name) { return 0; }
