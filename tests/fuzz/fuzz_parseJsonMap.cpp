// Request bodies after their Base64 layer: parse, then everything the service
// and the adapter do with a request map (lookups with decoding, the dump,
// updates, the answer text and its parse back).
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/json/AES.h"
#include "common/json/Json.h"
#include "tests/fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::quietLogging();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text = fuzz::asText(data, size);
    JsonMap* map = parseJsonMap(text.c_str());
    if (map == nullptr) {
        return 0;
    }
    if (map->count < 0 || map->count > KESTROVA_JSON_MAP_CAPACITY) {
        abort();
    }
    for (int i = 1; i < map->count; ++i) {
        if (compareJsonKeys(map->entries[i - 1].key, map->entries[i].key) > 0) {
            abort(); // entries must stay sorted for the binary search
        }
    }
    reportMissingKeys = 1;
    for (int i = 0; i < map->count; ++i) {
        const char* key = map->entries[i].key;
        char* raw = BinarySearchKestrovaJsonMap(map, 0, map->count - 1, key);
        if (raw == nullptr) {
            abort(); // every key of the map is found
        }
        free(raw);
        free(getValue(map, key));
        if (i < 4) {
            (void)getInteger(map, key);
            (void)isTrue(map, key);
        }
    }
    reportMissingKeys = 0;
    free(getValue(map, "FunctionName"));
    dumpJsonMap(map);
    setResult(map, 61016);
    setValue(map, "SessionId", "ABCDEFGH_SID");
    free(toAnswerText(map));
    // The answer text of the request's values under the service's own kind
    // of keys must parse back, and every value must come back byte for byte.
    JsonMap* answer = newJsonMap();
    if (answer != nullptr) {
        char key[16];
        for (int i = 0; i < map->count; ++i) {
            snprintf(key, sizeof key, "k%03d", i);
            setValue(answer, key, map->entries[i].value);
        }
        char* text = toAnswerText(answer);
        JsonMap* back = text != nullptr ? parseJsonMap(text) : nullptr;
        if (text != nullptr && answer->count > 0) {
            if (back == nullptr || back->count != answer->count) {
                abort();
            }
            for (int i = 0; i < back->count; ++i) {
                char* value = decodeUrlBase64(back->entries[i].value);
                if (value == nullptr || strcmp(value, answer->entries[i].value) != 0) {
                    abort();
                }
                free(value);
            }
        }
        freeJsonMap(back);
        free(text);
        freeJsonMap(answer);
    }
    freeJsonMap(map);
    return 0;
}
