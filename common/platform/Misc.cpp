#include "common/platform/Platform.h"
bool platformRandomBytes(void* buffer, size_t length) { return false; }
bool platformLocalPortInUse(int port, bool ipv6) { return false; }
void* platformModuleLoad(const char* path, std::string* outError) { return nullptr; }
void* platformModuleSymbol(void* module, const char* name, std::string* outError) { return nullptr; }
bool platformModuleFree(void* module, std::string* outError) { return true; }
