#pragma once
// Log switch: the thread that toggles a program's logging each time the
// monitor pulses the event "ARDEQKestrova_DEBUG_MODE" (debugStatusUpdateEvent).

constexpr const char* kDebugStatusEventName = "ARDEQKestrova_DEBUG_MODE";

// Opens the event (never creates it) and starts the switch thread. initialState
// is the logging state of start-up (the result of its setLog). On each pulse:
// off -> setLog(prefix) and record on, whatever it returned; on -> write
// "Log state: Disable", clear the ready flag, QXLogSet(null, 0), record off.
// Returns 0 when the thread runs, else the system error code (errno); the
// caller writes its own failure line. Only one switch thread per process.
int startLogSwitchThread(const char* prefix, bool initialState);

// Stops and joins the switch thread (for tests and orderly shut-down). Safe to
// call when none runs.
void stopLogSwitchThread();
