#pragma once
// Session table and request dispatch: 32 slots, each with a private copy of
// the adapter library; built-in functions answered here, the rest passed on.

#include "service/RequestState.h"

struct JsonMap;

// Dispatches one parsed request (state->request, state->origin) and returns
// the new answer map (caller frees with freeJsonMap), or null. Takes the
// dispatcher lock itself: the session table and every adapter call are
// serialised.
JsonMap* dispatchRequest(RequestState* state);

// Start-up of the session module: removes an old Tempfile tree, recreates
// Session_0 ... Session_31 and the version file; marks all slots free.
void startSessionModule();

// Releases every loaded adapter, oldest first (final function of the service).
void releaseAllAdapters();
