#pragma once
// Utility library every deliverable links: bounded copies, strings, numbers,
// versions, identifiers, folders, files, per-user locks, program starts and
// the local port probe. Texts are UTF-8. Every function that returns a text or
// buffer returns a fresh zero-filled heap block (malloc/calloc) that the caller
// frees with free(), or with freeSecret() when it held a secret.
// Null pointer arguments are reported with the "Parameter %s is null" warning
// and give the function's failure value.

#include <cstddef>
#include <cstdint>

// Result codes of the numeric family used by these helpers.
constexpr int kResultBadInput = 61001;   // null argument or allocation failure
constexpr int kResultNotANumber = 61003; // text is not a number or out of range
constexpr int kResultNullText = 61004;   // conversion of a null text
constexpr int kResultEmptyPart = 61005;  // empty part in a version text

// ---------------------------------------------------------------------------
// Secrets
// ---------------------------------------------------------------------------

// Overwrites n bytes with zeros in a way the compiler cannot drop. Null ignored.
void secureWipe(void* p, size_t n);
// Wipes text over its strlen, then frees it. Null ignored.
void freeSecret(char* text);

// ---------------------------------------------------------------------------
// Bounded copies
// ---------------------------------------------------------------------------

// Copies at most size - 1 bytes and always terminates; a null text leaves the
// buffer unchanged. Nothing happens when buffer is null or size is 0.
void copyBounded(char* buffer, size_t size, const char* text);
// copyBounded, then wipes heapText over its length and frees it.
void takeBounded(char* buffer, size_t size, char* heapText);

// ---------------------------------------------------------------------------
// Strings
// ---------------------------------------------------------------------------

// New copy; null gives null without a report.
char* copyString(const char* text);
// Zero-filled block; size 0 or above 2147483647 gives null.
void* allocZeroed(size_t size);
// New text with every non-overlapping occurrence of from (left to right)
// replaced by to. Null from/to count as empty; an empty from gives a plain
// copy. Null text gives null.
char* replaceAll(const char* text, const char* from, const char* to);
// New text with every ".exe" removed (case-sensitive).
char* stripExeSuffix(const char* path);
// True when mainString begins with prefix. Null prefix: true; null mainString
// is reported and gives false.
bool startsWith(const char* prefix, const char* mainString);
// New text of the bytes [from, to). Null when to < from or from is beyond the
// end; to is clamped to the end of the text.
char* substring(const char* text, size_t from, size_t to);
// New copy with A-Z lowered. Null is reported and gives null.
char* toLowerCopy(const char* text);
// New text of exactly width characters, text right-aligned after fill
// characters. A text longer than width is returned unchanged (as a copy).
char* padLeft(const char* text, size_t width, char fill);
// Null-terminated list of new strings: text cut at every delimiter, so the
// list has one element more than the delimiter occurs. Null or empty text or
// delimiter gives an empty list (just the terminating null). Null only when
// memory fails. Free with freeStringList.
char** splitString(const char* text, const char* delimiter);
// Number of elements of a list from splitString (0 for null).
size_t stringListLength(char** list);
// Frees every element and the list. Null ignored.
void freeStringList(char** list);

// ---------------------------------------------------------------------------
// Numbers and hex
// ---------------------------------------------------------------------------

// 32-bit value in base 10. strict: every character a digit, except a leading
// "-". Otherwise leading blanks, sign, digits up to the first other character.
// No digits or out of 32-bit range: 0 with 61003; null: 0 with 61004.
long stringToLong(const char* text, bool strict);
// 32-bit value in base 16, same error rules, no strict form.
long hexToLong(const char* text);
// True when the last conversion on this thread failed (61003 or 61004).
bool lastConversionFailed();
// The last conversion error of this thread: 0, 61003 or 61004.
int lastConversionError();
// Buffer of strlen/2 bytes plus a zero byte: each pair of characters gives one
// byte, high digit first; non-hex characters count as 0; an odd last
// character is ignored. outLength (optional) gets strlen/2. Null reported.
unsigned char* hexToBytes(const char* hexText, size_t* outLength = nullptr);
// Upper-case hex of length bytes (64 by default, a SHA-512 digest), high
// nibble first.
char* bytesToHex(const unsigned char* bytes, size_t length = 64);

// ---------------------------------------------------------------------------
// Versions
// ---------------------------------------------------------------------------

// -1 A older, 0 equal, 1 A newer, 2 a non-numeric part differs, 3 part counts
// differ, 61005 an empty part, 61001 a null argument or memory failure.
// Blanks are removed, "." and "," both separate parts.
int compareVersion(const char* versionA, const char* versionB);

// ---------------------------------------------------------------------------
// Identifiers and randomness
// ---------------------------------------------------------------------------

// Cryptographic random bytes. False on failure.
bool randomBytes(void* buffer, size_t length);
// New text of eight characters of 0-9A-Z followed by "_SID". A failed
// generator gives "00000000_SID".
char* makeSessionId();

// ---------------------------------------------------------------------------
// Folders and files
// ---------------------------------------------------------------------------

// Folder of the running executable, without the final "/".
char* getModuleFolder();
// The "Windows folder" ($KESTROVA_SYSCONF_DIR, else /etc); null on failure.
char* getWindowsFolder();
// User's temporary folder with a final "/"; an empty text when unknown.
char* getUserTempPath();
// Current user's name; null when it cannot be read.
char* currentUserName();
// All-users application data folder + "/" + subPath (null: the folder alone).
// Also remembered as the stored copy path. Empty text on failure.
char* getCopyPath(const char* subPath);
// The path last composed by getCopyPath (new text, empty when none).
char* storedCopyPath();
// User's desktop folder (no final "/"); null when unknown.
char* getDesktopFolder();
// True when path names something that is not a folder; false when it (or a
// folder along it) is absent; true when it cannot be examined for another
// reason. Null reported, false.
bool fileExists(const char* path);
// Whole file as text, CR LF pairs turned into LF. Null when the path is null,
// the file cannot be opened, is empty, or is larger than maxBytes.
char* readTextFile(const char* path, size_t maxBytes = 16u * 1024u * 1024u);
// Creates or empties the file and writes text. False on null/empty path, null
// text or an I/O failure.
bool writeTextFile(const char* path, const char* text);
// Creates the folder named by each prefix of path that ends just before a "/"
// (or "\"). Nothing for an empty path. False when a folder could not be made.
bool createFoldersAlongPath(const char* path);
// Local time as "YYYY-MM-DD hh-mm-ss"; "Unknow time" when unreadable.
char* localTimeText();

// ---------------------------------------------------------------------------
// Per-user named locks
// ---------------------------------------------------------------------------

struct PlatformLock;
typedef PlatformLock MutexLock;

// Acquires the lock "<user>_<name>" waiting up to waitMilliseconds (0 tries
// once). Null when not acquired (held elsewhere) or on error. The holder keeps
// it until releaseMutexLock; a holder that dies releases it.
MutexLock* getMutexLock(const char* name, unsigned waitMilliseconds);
// Releases and frees. Null ignored.
void releaseMutexLock(MutexLock* lock);

// ---------------------------------------------------------------------------
// Programs
// ---------------------------------------------------------------------------

// Runs the command (through /bin/sh -c when throughShell) and waits: its exit
// code, 128 + signal when killed, 0 when it cannot start, 1 for a null command.
int runHiddenAndWait(const char* command, bool throughShell);
// Starts the command detached and returns at once (no zombie). Logs the
// command. False when null or when it cannot be started.
bool hideNOWaitCommand(const char* command);

// ---------------------------------------------------------------------------
// Local ports
// ---------------------------------------------------------------------------

// True when a LISTEN or ESTABLISHED TCP endpoint has 127.0.0.1:port ([::1]
// with ipv6) as its local or foreign address.
bool isLocalPortInUse(int port, bool ipv6);
