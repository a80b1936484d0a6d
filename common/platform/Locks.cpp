#include "common/platform/Platform.h"
PlatformLock* platformLockAcquire(const char* name, unsigned waitMilliseconds, int* outError) { return nullptr; }
void platformLockRelease(PlatformLock* lock) {}
int platformLogLockAcquire() { return -1; }
void platformLogLockRelease(int descriptor) {}
