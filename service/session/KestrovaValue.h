#pragma once
// Shared value store: up to 16 text values that a page leaves under a channel
// name for the sites its domain list admits, each with an optional sliding
// time-out. Values are kept in memory only, encrypted with the store key drawn
// at start-up. Not locked: the session dispatcher's lock serialises every call.

#include <cstddef>
#include <cstdint>

#define KESTROVA_VALUE_ENTRIES 16

struct SharedValueEntry {
    char* channel;             // owned; null: the entry is free
    char* domainList;          // owned; the sites that may read
    int32_t timeout;           // minutes; 0: never times out
    int64_t expiresAt;         // seconds since 1970; 0 when timeout is 0
    unsigned char* cipherText; // owned; aesEncryptValue of the value
    size_t cipherLength;
};

// Clears every entry (start-up of the session module).
void initSharedValueStore() noexcept;

// Stores value under channel (case-insensitive), replacing an entry of the
// same channel. Returns 0 when stored; 61005 for a null argument or a negative
// timeout; 61019 when all entries are in use and none has expired; 61001 when
// the value could not be encrypted (the entry then holds no value).
[[nodiscard]] int storeSharedValue(const char* channel, const char* domainList, int32_t timeout,
                                   const char* value) noexcept;

// The value of channel for a page of origin, as a new text (wipe and free it).
// An empty text when there is nothing to give (no such channel, the site is not
// admitted, the value timed out); null when the stored value cannot be
// decrypted. A successful read of a value with a time-out moves its expiry to
// timeout minutes after the read.
[[nodiscard]] char* readSharedValue(const char* channel, const char* origin) noexcept;

// Frees the entry's texts (the cipher text wiped) and zeroes it.
void clearSharedValue(int index) noexcept;

// The clock of the store, in seconds since 1970. Tests replace it; null puts
// the system clock back.
void setSharedValueClock(int64_t (*clock)()) noexcept;

// Read-only view of an entry (tests); null for an index out of range.
const SharedValueEntry* sharedValueEntry(int index) noexcept;
