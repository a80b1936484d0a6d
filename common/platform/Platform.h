#pragma once
// Platform layer: the Linux means behind every Windows facility the programs
// rely on (folders, per-user locks, the log lock, named events, program
// starts, process scans, random bytes, port probes, module loading). It knows
// nothing of HTTP, sessions or JSON and never logs: failures come back as
// results (and errno-style codes where a caller logs a system error code).
// Folders honour the environment overrides so tests run isolated.

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

// ---------------------------------------------------------------------------
// Folders. Empty text when the folder cannot be determined.
// ---------------------------------------------------------------------------

// All-users application data: $KESTROVA_COMMON_APPDATA, else "/var/lib".
std::string platformCommonAppDataFolder();
// The "Windows folder": $KESTROVA_SYSCONF_DIR, else "/etc".
std::string platformSysconfFolder();
// User's temporary folder: $TMPDIR, else "/tmp"; always ends with "/".
std::string platformUserTempFolder();
// $XDG_DESKTOP_DIR, else DESKTOP of ~/.config/user-dirs.dirs, else ~/Desktop.
std::string platformDesktopFolder();
// $HOME (else the password database's home), with a final "/".
std::string platformHomeFolder();
// Per-user runtime folder: $KESTROVA_RUNTIME_DIR, else
// $XDG_RUNTIME_DIR/ARDEQKestrova, else /tmp/ARDEQKestrova-<uid>. Created with
// mode 0700 when missing. False (outFolder empty) when it cannot be created or
// is not a folder owned by the current user; outError gets the errno value.
bool platformRuntimeFolder(std::string& outFolder, int* outError = nullptr);
// The runtime folder joined with sub ("locks", "events", "windows"), created
// 0700 when missing. Empty text on failure.
std::string platformRuntimeSubfolder(const char* sub, int* outError = nullptr);

// Full path of the running executable (/proc/self/exe); empty on failure.
std::string platformExecutablePath();
// Its folder, without the final "/" (the execute path).
std::string platformExecutableFolder();
// Name of the current user (password database, else $USER, else the uid).
std::string platformUserName();

// ---------------------------------------------------------------------------
// Per-user named locks: <runtime>/locks/<name>, flock(LOCK_EX|LOCK_NB) retried
// every few milliseconds until the wait has elapsed (0 tries once). Each
// acquisition opens its own descriptor, so two holders in one process exclude
// each other too. A holder that dies releases its lock.
// ---------------------------------------------------------------------------

struct PlatformLock;

// Acquires the lock named name (already "<user>_<lock>"). Returns a record the
// caller hands to platformLockRelease, or null when not acquired in time or on
// error (outError: 0 when simply busy, else the errno value).
PlatformLock* platformLockAcquire(const char* name, unsigned waitMilliseconds,
                                  int* outError = nullptr);
// Unlocks, closes and frees. Null is ignored.
void platformLockRelease(PlatformLock* lock);

// System-wide log lock: /tmp/.QXLog.lock, mode 0666 whatever the umask, taken
// with a blocking flock. Returns the descriptor to hand back, or -1 when the
// lock file cannot be opened (the caller goes on without it).
int platformLogLockAcquire();
void platformLogLockRelease(int descriptor);

// ---------------------------------------------------------------------------
// Named events: the file <runtime>/events/<name>. Creating makes the file,
// opening fails (outError = errno) when it is absent. A waiter watches the
// file with inotify (IN_CLOSE_WRITE); a pulse opens it for writing and closes
// it, which wakes every waiter once. The watch is set up when the handle is
// made, so a pulse that comes while the waiter is busy is kept for its next
// wait rather than lost.
// ---------------------------------------------------------------------------

struct PlatformEvent;

PlatformEvent* platformEventCreate(const char* name, int* outError = nullptr);
PlatformEvent* platformEventOpen(const char* name, int* outError = nullptr);
// Waits for a pulse. timeoutMilliseconds < 0 waits without time-out.
// Returns 1 when pulsed, 0 on time-out, -1 on error (the file was removed).
int platformEventWait(PlatformEvent* event, int timeoutMilliseconds);
// Pulses the event (set, then reset at once). False when the file is absent.
bool platformEventPulse(PlatformEvent* event);
bool platformEventPulseByName(const char* name);
void platformEventClose(PlatformEvent* event);

// ---------------------------------------------------------------------------
// Programs. A command line "X.exe args" starts the executable X of the execute
// folder; other first words are found on PATH (or used as given with a "/").
// Arguments are split at blanks, double quotes group. Standard input is
// /dev/null.
// ---------------------------------------------------------------------------

// Starts the command (through /bin/sh -c when throughShell) and returns the
// child's pid, or -1 when it cannot be started. The caller must
// platformWaitProgram it.
pid_t platformStartProgram(const char* command, bool throughShell);
// Waits for a child started above: its exit code, 128 + the signal number when
// killed, -1 on error.
int platformWaitProgram(pid_t pid);
// Start and wait: the exit code, 128 + signal for a killed child, 0 when the
// program cannot be started.
int platformRunAndWait(const char* command, bool throughShell);
// Starts the command detached (new session), does not wait and leaves no
// zombie behind. False when it cannot be started.
bool platformStartDetached(const char* command);

// Resolves the first word of a command line by the program-name rule. Exposed
// for the tests and for callers that need the path.
std::string platformResolveProgram(const std::string& firstWord);

// Process names: a final ".exe" is removed and the rest compared with the base
// name of /proc/<pid>/exe (falling back to argv[0]; never comm).
bool platformProcessExists(const char* name);
// Sends SIGKILL to every matching process the user may signal (never to the
// calling process). Returns how many were signalled.
int platformKillByName(const char* name);

// ---------------------------------------------------------------------------
// Miscellany.
// ---------------------------------------------------------------------------

// Cryptographic random bytes (getrandom). False on failure.
bool platformRandomBytes(void* buffer, size_t length);

// True when /proc/net/tcp (tcp6 for ipv6) has a LISTEN or ESTABLISHED entry
// whose local or foreign address is 127.0.0.1:port ([::1]:port).
bool platformLocalPortInUse(int port, bool ipv6);

// Module loading: dlopen(RTLD_NOW | RTLD_LOCAL), dlsym, dlclose. outError gets
// the dlerror text on failure.
void* platformModuleLoad(const char* path, std::string* outError = nullptr);
void* platformModuleSymbol(void* module, const char* name, std::string* outError = nullptr);
// True when unloaded without error. Null is ignored (true).
bool platformModuleFree(void* module, std::string* outError = nullptr);
