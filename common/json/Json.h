#pragma once
// The flat JSON map in which every call and every answer lives: one fixed table
// of key/value texts kept sorted by a case-insensitive key compare, its text
// forms (request parse, answer text, log dump) and a one-key lookup in a JSON
// text for the inter-process messages.
//
// JsonMap crosses the dlopen boundary between the service (which builds, owns
// and frees it) and the adapter library (which only reads it), so it is a plain
// C layout with no C++ types inside. Both sides must be built from this header.

#include <cstdint>

#define KESTROVA_JSON_MAP_CAPACITY 128
// Tokens for a request map: one object and 128 key/value pairs.
#define KESTROVA_JSON_MAP_TOKENS 257
// Tokens for findJsonTextValue.
#define KESTROVA_JSON_FIND_TOKENS 64
// Result code set in missingKeyCode by a reported missing key.
#define KESTROVA_MISSING_KEY_CODE 61016

struct JsonEntry {
    char* key;             // owned, as written in the JSON text (quotes removed)
    char* value;           // owned; null only when setValue received a null value
    void* binaryData;      // reserved: always null
    uint32_t binaryLength; // reserved: always 0
};

struct JsonMap {
    JsonEntry entries[KESTROVA_JSON_MAP_CAPACITY]; // 0 … count-1 in use, the rest zero
    char* text;    // owned copy of the parsed text; null for a map built with setValue
    int32_t count; // entries in use, never above KESTROVA_JSON_MAP_CAPACITY
};

// Missing-key report of BinarySearchKestrovaJsonMap. Each deliverable (and each
// loaded adapter copy) has its own pair: hidden, so a library never binds to the
// service's copy. Used by the one thread that runs adapter functions.
extern unsigned char reportMissingKeys __attribute__((visibility("hidden"))); // 1: report
extern int32_t missingKeyCode __attribute__((visibility("hidden"))); // 61016 after a report

// Key compare: bytes as unsigned after mapping A-Z to a-z (locale-independent);
// a prefix sorts first. Returns -1, 0 or 1. Null sorts before everything.
int compareJsonKeys(const char* a, const char* b) noexcept;

// A new empty map (zeroed, count 0, no text), for maps built with setValue.
// Null (with the allocation-failure lines) when memory fails. Free with freeJsonMap.
JsonMap* newJsonMap() noexcept;

// Parses a JSON object text into a new map (at most 128 pairs, 257 tokens);
// null (with "jsmn parse error" lines) for a text the tokenizer refuses, one
// with more than 257 tokens, or fewer than two tokens. Pairs are taken by
// position from the end, so nested values add their inner pairs as entries.
// Values are passed through unescapeJsonValue. Free with freeJsonMap.
JsonMap* parseJsonMap(const char* inputJsonStr) noexcept;

// Releases a map and everything it owns; every text is wiped first since
// request maps carry PINs and secrets. Null is ignored.
void freeJsonMap(JsonMap* map) noexcept;

// Binary search over entries low … high for key. Returns a new copy of the raw
// (undecoded) value, or null when the key is absent or its value is null.
// While reportMissingKeys is 1, an absent key that contains neither "Kestrova"
// nor "topui" is logged and sets missingKeyCode to 61016.
char* BinarySearchKestrovaJsonMap(const JsonMap* map, int low, int high, const char* key) noexcept;

// The value of key after the companion-flag decoding (decodeValue in AES.h),
// as a new text, or null when the key is absent. May hold a secret: wipe it.
char* getValue(const JsonMap* map, const char* key) noexcept;

// "true"/"false" (any case) give 1/0, other values their decimal conversion
// (leading blanks, sign, digits up to the first other character, saturated to
// 32 bits), an absent key 0.
int32_t getInteger(const JsonMap* map, const char* key) noexcept;

// True only when the decoded value equals "true" without regard to case.
bool isTrue(const JsonMap* map, const char* key) noexcept;

// Adds the pair, or replaces the value of the first entry whose key compares
// equal (that entry keeps its own letter case). value may be null. False when
// nothing changed: a null argument, memory failure, or a new key for a map that
// already holds 128 entries (refused with a warning line, the map unchanged).
bool setValue(JsonMap* map, const char* key, const char* value) noexcept;

// setValue(map, "result", decimal text of number).
bool setResult(JsonMap* map, int number) noexcept;

// The answer text: {"key": "Base64 of value", ...} in map order, entries with a
// null value skipped, {} for none. New text (free), or null on a null map or
// memory failure.
char* toAnswerText(const JsonMap* map) noexcept;

// Writes every pair to the log when logging is ready. Values of keys holding
// "pin", "pw" or "pass" (any case), or whose "<key>_KestrovaHide" is true, are
// masked with "*"; keys holding "kestrova" (any case) are always in clear.
void dumpJsonMap(const JsonMap* map) noexcept;

// Undoes \r \n \t \u000f \u000e \u001b and \" (in that order, each over the
// result of the one before); every other escape stays as written. New text, or
// null for a null text or memory failure.
char* unescapeJsonValue(const char* text) noexcept;

// The value of the first key equal to key without regard to case, pairing
// tokens from the front, with \" turned into ". At most 64 tokens: a longer
// text gives null. New text, or null when absent. Safe to call from several
// threads (the tokenizer state is per call).
char* findJsonTextValue(const char* jsonText, const char* key) noexcept;
