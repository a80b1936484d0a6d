#include "common/platform/Platform.h"
std::string platformCommonAppDataFolder() { return "/var/lib"; }
std::string platformSysconfFolder() { return "/etc"; }
std::string platformUserTempFolder() { return "/tmp/"; }
std::string platformDesktopFolder() { return ""; }
std::string platformHomeFolder() { return ""; }
bool platformRuntimeFolder(std::string& outFolder, int* outError) { outFolder.clear(); return false; }
std::string platformRuntimeSubfolder(const char* sub, int* outError) { return ""; }
std::string platformExecutablePath() { return ""; }
std::string platformExecutableFolder() { return ""; }
std::string platformUserName() { return ""; }
