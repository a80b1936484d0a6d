// The flat JSON map: parse, lookup, update, answer text, log dump, and the
// one-key lookup in a JSON text.
#include "common/json/Json.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/json/AES.h"
#include "common/json/TextEdit.h"
#include "common/runtime/Log.h"
#include "common/runtime/Tool.h"

// jsmn is header-only; this is the one translation unit that compiles it, in
// its default non-strict mode and without parent links.
#define JSMN_STATIC
#include <jsmn.h>

unsigned char reportMissingKeys = 0;
int32_t missingKeyCode = 0;

namespace {

// jsmn keeps offsets in int and its position in unsigned int: a longer text
// would wrap them. Far above any request the service accepts.
constexpr size_t kMaxJsonText = 1u << 30;

// A dump runs a decoding of each "<key>_KestrovaHide", and the decoding of an
// encrypted value dumps the map: without this guard a request whose hide flag
// is itself flagged as encrypted recursed until the stack ran out.
thread_local bool dumpRunning = false;

int entryCount(const JsonMap* map) noexcept {
    return std::clamp<int32_t>(map->count, 0, KESTROVA_JSON_MAP_CAPACITY);
}

void sortEntries(JsonMap* map) noexcept {
    std::sort(map->entries, map->entries + entryCount(map),
              [](const JsonEntry& a, const JsonEntry& b) {
                  return compareJsonKeys(a.key, b.key) < 0;
              });
}

// Wipes and frees a text that may hold a secret.
void dropText(char*& text) noexcept {
    freeSecret(text);
    text = nullptr;
}

// key + suffix as a new text.
char* joinKey(const char* key, const char* suffix) noexcept {
    size_t keyLength = strlen(key);
    size_t suffixLength = strlen(suffix);
    char* joined = static_cast<char*>(malloc(keyLength + suffixLength + 1));
    if (joined == nullptr) {
        KESTROVA_ALLOC_FAIL();
        return nullptr;
    }
    memcpy(joined, key, keyLength);
    memcpy(joined + keyLength, suffix, suffixLength + 1);
    return joined;
}

bool tokenize(jsmn_parser* parser, const char* text, jsmntok_t* tokens, unsigned tokenCount,
              int* outCount) noexcept {
    size_t length = strlen(text);
    if (length > kMaxJsonText) {
        *outCount = JSMN_ERROR_NOMEM;
        return false;
    }
    jsmn_init(parser);
    *outCount = jsmn_parse(parser, text, length, tokens, tokenCount);
    return true;
}

// Bytes of token i, checked against the text even though jsmn keeps them
// inside it: the map is filled by position and never trusts a token blindly.
bool tokenSpan(const jsmntok_t& token, size_t textLength, size_t* outStart, size_t* outLength) {
    if (token.start < 0 || token.end < token.start || static_cast<size_t>(token.end) > textLength) {
        return false;
    }
    *outStart = static_cast<size_t>(token.start);
    *outLength = static_cast<size_t>(token.end - token.start);
    return true;
}

int32_t decimalConversion(const char* text) noexcept {
    const char* p = text;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r')) {
        ++p;
    }
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
    }
    long long value = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        // Saturate instead of overflowing: a page may send any number of digits.
        if (value <= static_cast<long long>(INT32_MAX) + 1) {
            value = value * 10 + (*p - '0');
        }
    }
    if (negative) {
        value = -value;
    }
    return static_cast<int32_t>(std::clamp<long long>(value, INT32_MIN, INT32_MAX));
}

} // namespace

// ---------------------------------------------------------------------------
// Shared text helpers
// ---------------------------------------------------------------------------

void replaceShrinkingInPlace(char* text, const char* from, const char* to) noexcept {
    if (text == nullptr || from == nullptr || to == nullptr) {
        return;
    }
    size_t fromLength = strlen(from);
    size_t toLength = strlen(to);
    if (fromLength == 0 || toLength > fromLength) {
        return;
    }
    char* read = text;
    char* write = text;
    while (*read != '\0') {
        if (strncmp(read, from, fromLength) == 0) {
            memmove(write, to, toLength);
            write += toLength;
            read += fromLength;
        } else {
            *write++ = *read++;
        }
    }
    // Wipe the tail the shortening left behind: it is a stale part of the text.
    size_t tail = static_cast<size_t>(read - write);
    if (tail > 0) {
        secureWipe(write, tail);
    }
    *write = '\0';
}

bool equalsIgnoreCase(const char* a, const char* b) noexcept {
    return a != nullptr && b != nullptr && compareJsonKeys(a, b) == 0;
}

char* copyBytes(const char* text, size_t length) noexcept {
    char* copy = static_cast<char*>(malloc(length + 1));
    if (copy == nullptr) {
        KESTROVA_ALLOC_FAIL();
        return nullptr;
    }
    memcpy(copy, text, length);
    copy[length] = '\0';
    return copy;
}

// ---------------------------------------------------------------------------
// Map
// ---------------------------------------------------------------------------

int compareJsonKeys(const char* a, const char* b) noexcept {
    if (a == nullptr || b == nullptr) {
        return a == b ? 0 : (a == nullptr ? -1 : 1);
    }
    for (;; ++a, ++b) {
        unsigned char ca = static_cast<unsigned char>(*a);
        unsigned char cb = static_cast<unsigned char>(*b);
        if (ca >= 'A' && ca <= 'Z') {
            ca = static_cast<unsigned char>(ca + ('a' - 'A'));
        }
        if (cb >= 'A' && cb <= 'Z') {
            cb = static_cast<unsigned char>(cb + ('a' - 'A'));
        }
        if (ca != cb) {
            return ca < cb ? -1 : 1;
        }
        if (ca == '\0') {
            return 0;
        }
    }
}

JsonMap* newJsonMap() noexcept {
    JsonMap* map = static_cast<JsonMap*>(calloc(1, sizeof(JsonMap)));
    if (map == nullptr) {
        KESTROVA_ALLOC_FAIL();
    }
    return map;
}

void freeJsonMap(JsonMap* map) noexcept {
    if (map == nullptr) {
        return;
    }
    int count = entryCount(map);
    for (int i = 0; i < count; ++i) {
        dropText(map->entries[i].key);
        dropText(map->entries[i].value);
    }
    dropText(map->text);
    secureWipe(map, sizeof(JsonMap));
    free(map);
}

JsonMap* parseJsonMap(const char* inputJsonStr) noexcept {
    if (inputJsonStr == nullptr) {
        KESTROVA_NULL_PARAM("inputJsonStr");
        return nullptr;
    }
    jsmn_parser parser;
    jsmntok_t tokens[KESTROVA_JSON_MAP_TOKENS];
    int n = 0;
    tokenize(&parser, inputJsonStr, tokens, KESTROVA_JSON_MAP_TOKENS, &n);
    if (n <= 1) {
        logError("", "jsmn parse error");
        logError("Error json: ", inputJsonStr);
        return nullptr;
    }
    JsonMap* map = newJsonMap();
    if (map == nullptr) {
        return nullptr;
    }
    size_t textLength = strlen(inputJsonStr);
    // Pairs by position from the end: a nested object or array adds its own
    // inner pairs as entries, exactly as the pages have always seen it.
    for (int i = n - 2; i >= 1; i -= 2) {
        size_t keyStart = 0, keyLength = 0, valueStart = 0, valueLength = 0;
        if (map->count >= KESTROVA_JSON_MAP_CAPACITY ||
            !tokenSpan(tokens[i], textLength, &keyStart, &keyLength) ||
            !tokenSpan(tokens[i + 1], textLength, &valueStart, &valueLength)) {
            break;
        }
        char* key = copyBytes(inputJsonStr + keyStart, keyLength);
        char* rawValue = copyBytes(inputJsonStr + valueStart, valueLength);
        char* value = rawValue != nullptr ? unescapeJsonValue(rawValue) : nullptr;
        freeSecret(rawValue);
        if (key == nullptr || value == nullptr) {
            // A map missing some pairs would be read as if the page had not
            // sent them: give none rather than a partial one.
            freeSecret(key);
            freeSecret(value);
            freeJsonMap(map);
            return nullptr;
        }
        map->entries[map->count].key = key;
        map->entries[map->count].value = value;
        map->count++;
    }
    sortEntries(map);
    map->text = copyBytes(inputJsonStr, textLength);
    if (map->text == nullptr) {
        freeJsonMap(map);
        return nullptr;
    }
    return map;
}

char* BinarySearchKestrovaJsonMap(const JsonMap* map, int low, int high, const char* key) noexcept {
    if (map == nullptr) {
        KESTROVA_NULL_PARAM("inputKestrovaJson");
        return nullptr;
    }
    if (key == nullptr) {
        KESTROVA_NULL_PARAM("inputKey");
        return nullptr;
    }
    int count = entryCount(map);
    // Out-of-range bounds (an empty map gives high -1) search nothing.
    low = std::max(low, 0);
    high = std::min(high, count - 1);
    while (low <= high) {
        // Both are small non-negative numbers, so this is the floor.
        int mid = low + (high - low) / 2;
        int order = compareJsonKeys(map->entries[mid].key, key);
        if (order == 0) {
            const char* value = map->entries[mid].value;
            if (value == nullptr) {
                return nullptr;
            }
            char* copy = copyString(value);
            if (copy == nullptr) {
                KESTROVA_ALLOC_FAIL();
            }
            return copy;
        }
        if (order < 0) {
            low = mid + 1;
        } else {
            high = mid - 1;
        }
    }
    if (reportMissingKeys == 1 && strstr(key, "Kestrova") == nullptr &&
        strstr(key, "topui") == nullptr) {
        logWarning("Json map key not found: ", key);
        missingKeyCode = KESTROVA_MISSING_KEY_CODE;
    }
    return nullptr;
}

char* getValue(const JsonMap* map, const char* key) noexcept {
    if (map == nullptr) {
        KESTROVA_NULL_PARAM("inputKestrovaJson");
        return nullptr;
    }
    if (key == nullptr) {
        KESTROVA_NULL_PARAM("inputKey");
        return nullptr;
    }
    char* raw = BinarySearchKestrovaJsonMap(map, 0, map->count - 1, key);
    if (raw == nullptr) {
        return nullptr;
    }
    char* value = decodeValue(map, key, raw);
    freeSecret(raw);
    if (value == nullptr) {
        KESTROVA_ALLOC_FAIL();
    }
    return value;
}

int32_t getInteger(const JsonMap* map, const char* key) noexcept {
    if (map == nullptr) {
        KESTROVA_NULL_PARAM("inputKestrovaJson");
        return 0;
    }
    char* value = getValue(map, key);
    if (value == nullptr) {
        return 0;
    }
    int32_t result;
    if (equalsIgnoreCase(value, "true")) {
        result = 1;
    } else if (equalsIgnoreCase(value, "false")) {
        result = 0;
    } else {
        result = decimalConversion(value);
    }
    freeSecret(value);
    return result;
}

bool isTrue(const JsonMap* map, const char* key) noexcept {
    if (map == nullptr) {
        KESTROVA_NULL_PARAM("inputKestrovaJson");
        return false;
    }
    if (key == nullptr) {
        KESTROVA_NULL_PARAM("inputKey");
        return false;
    }
    char* value = getValue(map, key);
    bool result = equalsIgnoreCase(value, "true");
    freeSecret(value);
    return result;
}

bool setValue(JsonMap* map, const char* key, const char* value) noexcept {
    if (map == nullptr) {
        KESTROVA_NULL_PARAM("inputKestrovaJson");
        return false;
    }
    if (key == nullptr) {
        KESTROVA_NULL_PARAM("Key");
        return false;
    }
    char* valueCopy = nullptr;
    if (value != nullptr) {
        valueCopy = copyString(value);
        if (valueCopy == nullptr) {
            KESTROVA_ALLOC_FAIL();
            return false;
        }
    }
    int count = entryCount(map);
    for (int i = 0; i < count; ++i) {
        if (compareJsonKeys(map->entries[i].key, key) == 0) {
            dropText(map->entries[i].value);
            map->entries[i].value = valueCopy;
            return true;
        }
    }
    if (count >= KESTROVA_JSON_MAP_CAPACITY) {
        // The table is full: refuse visibly rather than write past it or lose
        // the pair without a trace.
        logWarning("Json map full, key not added: ", key);
        freeSecret(valueCopy);
        return false;
    }
    char* keyCopy = copyString(key);
    if (keyCopy == nullptr) {
        KESTROVA_ALLOC_FAIL();
        freeSecret(valueCopy);
        return false;
    }
    // The table is sorted: moving the new pair down to its place keeps it so
    // with one pass instead of a whole sort per added key.
    JsonEntry added = {keyCopy, valueCopy, nullptr, 0};
    int at = count;
    while (at > 0 && compareJsonKeys(map->entries[at - 1].key, keyCopy) > 0) {
        map->entries[at] = map->entries[at - 1];
        --at;
    }
    map->entries[at] = added;
    map->count = count + 1;
    return true;
}

bool setResult(JsonMap* map, int number) noexcept {
    char text[16];
    snprintf(text, sizeof text, "%d", number);
    return setValue(map, "result", text);
}

char* toAnswerText(const JsonMap* map) noexcept {
    if (map == nullptr) {
        KESTROVA_NULL_PARAM("inputKestrovaJson");
        return nullptr;
    }
    int count = entryCount(map);
    // Answers carry decrypted data and signatures: the Base64 forms are built
    // once, measured, copied and wiped.
    char* encoded[KESTROVA_JSON_MAP_CAPACITY] = {};
    size_t total = 3; // "{", "}" and the zero byte
    bool failed = false;
    for (int i = 0; i < count && !failed; ++i) {
        if (map->entries[i].value == nullptr || map->entries[i].key == nullptr) {
            continue;
        }
        encoded[i] = encodeValueBase64(map->entries[i].value);
        if (encoded[i] == nullptr) {
            failed = true;
            break;
        }
        // ', "' key '": "' value '"'
        total += 3 + strlen(map->entries[i].key) + 4 + strlen(encoded[i]) + 1;
    }
    char* answer = failed ? nullptr : static_cast<char*>(malloc(total));
    if (answer == nullptr) {
        KESTROVA_ALLOC_FAIL();
    } else {
        size_t at = 0;
        auto put = [&](const char* part) {
            size_t length = strlen(part);
            memcpy(answer + at, part, length);
            at += length;
        };
        put("{");
        bool first = true;
        for (int i = 0; i < count; ++i) {
            if (encoded[i] == nullptr) {
                continue;
            }
            put(first ? "\"" : ", \"");
            first = false;
            put(map->entries[i].key);
            put("\": \"");
            put(encoded[i]);
            put("\"");
        }
        put("}");
        answer[at] = '\0';
    }
    for (int i = 0; i < count; ++i) {
        freeSecret(encoded[i]);
    }
    return answer;
}

void dumpJsonMap(const JsonMap* map) noexcept {
    if (!isLogReady() || dumpRunning) {
        return;
    }
    dumpRunning = true;
    logNormal("= DISPLAY PARAMETER", " ===== start =====");
    int count = map != nullptr ? entryCount(map) : 0;
    for (int i = 0; i < count; ++i) {
        const char* key = map->entries[i].key;
        const char* value = map->entries[i].value;
        if (key == nullptr) {
            continue;
        }
        char* label = joinKey(key, ": ");
        char* lower = label != nullptr ? toLowerCopy(label) : nullptr;
        if (lower == nullptr) {
            free(label);
            break;
        }
        bool masked = false;
        if (value == nullptr) {
            logNormal(label, "[empty]");
        } else if (strcmp(lower, "kestrova_share_secret: ") == 0) {
            // The key of encrypted request values: a product key, but never
            // one to leave in a log file.
            masked = true;
        } else if (strstr(lower, "kestrova") != nullptr) {
            logNormal(label, value);
        } else if (strstr(lower, "pin") != nullptr || strstr(lower, "pw") != nullptr ||
                   strstr(lower, "pass") != nullptr) {
            masked = true;
        } else {
            char* hideKey = joinKey(key, "_KestrovaHide");
            if (hideKey == nullptr) {
                free(lower);
                free(label);
                break;
            }
            masked = isTrue(map, hideKey);
            free(hideKey);
            if (!masked) {
                logNormal(label, value);
            }
        }
        if (masked) {
            size_t length = strlen(value);
            char* mask = static_cast<char*>(malloc(length + 1));
            if (mask == nullptr) {
                KESTROVA_ALLOC_FAIL();
                free(lower);
                free(label);
                break;
            }
            memset(mask, '*', length);
            mask[length] = '\0';
            logNormal(label, mask);
            free(mask);
        }
        free(lower);
        free(label);
    }
    logNormal("= DISPLAY PARAMETER", " ===== end =====");
    dumpRunning = false;
}

char* unescapeJsonValue(const char* text) noexcept {
    if (text == nullptr) {
        KESTROVA_NULL_PARAM("input");
        return nullptr;
    }
    char* result = copyString(text);
    if (result == nullptr) {
        KESTROVA_ALLOC_FAIL();
        return nullptr;
    }
    // Sequential passes over plain text, as the pages' encoders expect: "\\n"
    // in the JSON text therefore ends as a backslash and a line feed.
    static const char* const kEscapes[][2] = {
        {"\\r", "\r"},       {"\\n", "\n"},       {"\\t", "\t"},   {"\\u000f", "\x0f"},
        {"\\u000e", "\x0e"}, {"\\u001b", "\x1b"}, {"\\\"", "\""},
    };
    for (const auto& escape : kEscapes) {
        replaceShrinkingInPlace(result, escape[0], escape[1]);
    }
    return result;
}

char* findJsonTextValue(const char* jsonText, const char* key) noexcept {
    if (jsonText == nullptr) {
        KESTROVA_NULL_PARAM("inputJSONObj");
        return nullptr;
    }
    if (key == nullptr) {
        KESTROVA_NULL_PARAM("inputKey");
        return nullptr;
    }
    char* lowerKey = toLowerCopy(key);
    if (lowerKey == nullptr) {
        KESTROVA_ALLOC_FAIL();
        return nullptr;
    }
    // Per-call tokenizer state: messages arrive on several channel threads.
    jsmn_parser parser;
    jsmntok_t tokens[KESTROVA_JSON_FIND_TOKENS];
    int n = 0;
    tokenize(&parser, jsonText, tokens, KESTROVA_JSON_FIND_TOKENS, &n);
    size_t textLength = strlen(jsonText);
    size_t lowerKeyLength = strlen(lowerKey);
    char* value = nullptr;
    bool found = false;
    // A key needs a value token after it: a key as the last token pairs with
    // nothing (reading on would take a token jsmn never wrote).
    for (int i = 1; n > 1 && i + 1 < n && !found; i += 2) {
        size_t start = 0, length = 0;
        if (!tokenSpan(tokens[i], textLength, &start, &length) || length == 0 ||
            length != lowerKeyLength) {
            continue;
        }
        bool equal = true;
        for (size_t j = 0; j < length && equal; ++j) {
            unsigned char c = static_cast<unsigned char>(jsonText[start + j]);
            if (c >= 'A' && c <= 'Z') {
                c = static_cast<unsigned char>(c + ('a' - 'A'));
            }
            equal = c == static_cast<unsigned char>(lowerKey[j]);
        }
        if (!equal) {
            continue;
        }
        found = true;
        size_t valueStart = 0, valueLength = 0;
        if (tokenSpan(tokens[i + 1], textLength, &valueStart, &valueLength)) {
            value = copyBytes(jsonText + valueStart, valueLength);
            replaceShrinkingInPlace(value, "\\\"", "\"");
        }
    }
    free(lowerKey);
    return value;
}
