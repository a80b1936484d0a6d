#include "common/runtime/LogSwitch.h"
int startLogSwitchThread(const char* prefix, bool initialState) { return 2; }
void stopLogSwitchThread() {}
