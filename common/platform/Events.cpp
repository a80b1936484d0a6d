#include "common/platform/Platform.h"
PlatformEvent* platformEventCreate(const char* name, int* outError) { return nullptr; }
PlatformEvent* platformEventOpen(const char* name, int* outError) { return nullptr; }
int platformEventWait(PlatformEvent* event, int timeoutMilliseconds) { return -1; }
bool platformEventPulse(PlatformEvent* event) { return false; }
bool platformEventPulseByName(const char* name) { return false; }
void platformEventClose(PlatformEvent* event) {}
