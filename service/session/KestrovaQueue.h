#pragma once
// Adapter path table and the life of a session's adapter: resolving the
// library a page may use, copying and loading it, binding its exports, the
// unlock call and version gate, passing calls on, and releasing it.
// Everything here runs under the session dispatcher's lock.

#include <cstddef>
#include <cstdint>
#include <string>

struct JsonMap;

#define KESTROVA_PATH_FIELD_SIZE 64
#define KESTROVA_PATH_ID_SIZE 512

// The folder (below the execute path) and adapter name a request may load.
struct AdapterPath {
    char folder[KESTROVA_PATH_FIELD_SIZE];
    char adapterName[KESTROVA_PATH_FIELD_SIZE];
};

// Reads "PathID", "LibDir" and "ComName" and decides which library the page
// may load. True with outPath filled (a folder and name that matched a row of
// the table in another letter case take the row's spelling); false when
// refused (*answer reset and holding "result" 61009).
[[nodiscard]] bool resolveAdapterPath(const JsonMap* request, JsonMap** answer,
                                      AdapterPath* outPath) noexcept;
// Drops the characters < > : " / \ | ? * ; & $ in place, zero-fills the rest of
// the buffer up to size, and turns ".." into the empty text.
void cleanFileName(char* buffer, size_t size) noexcept;
// When pathId names a row of the path table (any case), its folder and adapter
// name replace the given ones.
void applyPathId(const char* pathId, char* folder, char* adapterName) noexcept;
// True when folder and adapterName equal a row of the path table (any case).
[[nodiscard]] bool isPathInTable(const char* folder, const char* adapterName) noexcept;

// Opens the session's adapter: resolves the path, takes a slot, copies and
// loads the library, binds, unlocks, reads and gates the versions. Returns the
// slot index, or -1 when the request ends here (*answer is the answer to send;
// it may have been replaced, and may be null when memory failed).
int openSessionAdapter(const JsonMap* request, const char* origin, const char* sessionId,
                       JsonMap** answer) noexcept;
// Passes the call to the slot's adapter and puts its answer into *answer as
// "result".
void callSessionAdapter(int slot, const JsonMap* request, const char* functionName,
                        JsonMap** answer) noexcept;
// Frees the slot's texts, sends the release call, unloads the library and
// deletes the session copy. A free slot is left alone.
void releaseAdapter(int index) noexcept;

// The path of the installed adapter and of a slot's session copy.
std::string installedAdapterFile(const char* folder, const char* adapterName);
std::string sessionCopyFile(int index, const char* adapterName);

// The top-window watch run around adapter calls that ask for it
// ("topuidetect", "topuialldetect"). Until the service sets the two hooks such
// calls only log their request.
void setTopWindowHooks(void (*start)(uint32_t processId, int allWindows), void (*stop)()) noexcept;
