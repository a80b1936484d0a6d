#pragma once
// Session table and request dispatch: 32 slots, each with a private copy of
// the adapter library; built-in functions answered here, the rest passed on.
//
// Locking: dispatchRequest and releaseAllAdapters take the dispatcher lock
// themselves. Every other function below expects it to be held by the caller
// (or, in tests, a single thread).

#include "service/RequestState.h"

#include <cstdint>

struct JsonMap;

#define KESTROVA_SESSION_SLOTS 32
#define KESTROVA_ADAPTER_PATH_LENGTH 4096
// Use stamp of a free slot.
#define KESTROVA_FREE_STAMP UINT64_MAX

// The adapter's two exports. The answer text belongs to the loaded library and
// lives only until its next call: copy it at once.
typedef const char* (*CallMethodEntry)(const char* jsonText);
typedef const char* (*CallJsonMapMethodEntry)(const JsonMap* map, const char* functionName);

struct SessionSlot {
    char* sessionId;                                // owned; null or empty: the slot is free
    char* adapterName;                              // owned
    char* adapterVersion;                           // owned; the answer to "Kestrova_GetVersion"
    char* installerVersion;                         // owned, or null
    char adapterPath[KESTROVA_ADAPTER_PATH_LENGTH]; // the file the adapter was loaded from
    void* module;                                   // the loaded library
    CallMethodEntry callMethodEntry;
    CallJsonMapMethodEntry callJsonMapMethodEntry;
    int32_t browserMode; // 1: "KestrovaClose"/"KestrovaRelease" keep the session
    int64_t initTime;    // seconds since 1970 at which the slot was taken
    bool adapterIsCopy;  // adapterPath is the session's own copy (deleted on release)
};

// The service version, answered as "ServerVersion" and gated by "minServerVersion".
#define KESTROVA_SERVER_VERSION "1.0.22.0804"

// Dispatches one parsed request (state->request, state->origin) and returns
// the new answer map (caller frees with freeJsonMap), or null. Takes the
// dispatcher lock itself: the session table and every adapter call are
// serialised.
JsonMap* dispatchRequest(RequestState* state) noexcept;

// Start-up of the session module: removes an old Tempfile tree, recreates
// Session_0 ... Session_31 and the version file; marks all slots free.
// Reads the copy path and the execute path from gService.
void startSessionModule() noexcept;

// Releases every loaded adapter, oldest first (final function of the service).
void releaseAllAdapters() noexcept;

// ---------------------------------------------------------------------------
// Session table (dispatcher lock held)
// ---------------------------------------------------------------------------

// The slot at index, or null outside 0 … 31.
SessionSlot* sessionSlotAt(int index) noexcept;
// The use stamp of a slot (KESTROVA_FREE_STAMP when free or out of range).
uint64_t sessionUseStamp(int index) noexcept;

// Makes a fresh session identifier (eight of 0-9A-Z, then "_SID") that no slot
// holds, writes it into outSessionId (size bytes) and adds "SessionID" to the
// answer.
void makeNewSessionId(JsonMap* answer, char* outSessionId, size_t size) noexcept;
// The slot whose identifier equals sessionId, else the first whose identifier
// occurs in sessionId; -1 when none.
int findSession(const char* sessionId) noexcept;
// Takes a free slot for sessionId, evicting the oldest when all are in use.
// Returns the index, or -1 (also for an empty identifier).
int takeSessionSlot(const char* sessionId) noexcept;
// Releases the slot's adapter and texts and marks it free.
void releaseSessionSlot(int index) noexcept;
// The taken slot with the smallest use stamp; -1 when all are free.
int findOldestSlot() noexcept;
// Frees *answer and replaces it with a new empty map (null when memory fails).
// site tells the call sites apart in the log.
void resetAnswer(JsonMap** answer, int site) noexcept;

// The module's copies of the copy path and execute path (empty before start-up).
const char* sessionCopyPath() noexcept;
const char* sessionExecutePath() noexcept;
