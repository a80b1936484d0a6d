// The adapter library the request-path fuzz target loads in place of
// GpkiCardAdapter: the two system calls of a session (unlock, version), the
// release call, and for every other function an answer built from reading the
// whole map the service passed, so a malformed map shows under the sanitizers
// of the fuzz target. It reads the map through its C layout only and is built
// without instrumentation, so that the thousands of private copies a fuzz run
// loads and unloads cost the sanitizer no bookkeeping.

#include "common/json/Json.h"

#include <strings.h>

#include <cstdio>
#include <cstring>
#include <string>

#define FUZZ_ADAPTER_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

std::string gAnswer;

// Every key and value the map claims to hold, touched byte by byte.
size_t readWholeMap(const JsonMap* map)
{
    size_t bytes = 0;
    if (map == nullptr || map->count < 0 || map->count > KESTROVA_JSON_MAP_CAPACITY)
        return 0;
    for (int i = 0; i < map->count; ++i) {
        const JsonEntry& entry = map->entries[i];
        if (entry.key != nullptr)
            bytes += strlen(entry.key);
        if (entry.value != nullptr)
            bytes += strlen(entry.value);
    }
    if (map->text != nullptr)
        bytes += strlen(map->text);
    return bytes;
}

const char* rawValue(const JsonMap* map, const char* key)
{
    if (map == nullptr || map->count < 0 || map->count > KESTROVA_JSON_MAP_CAPACITY)
        return nullptr;
    for (int i = 0; i < map->count; ++i) {
        const JsonEntry& entry = map->entries[i];
        if (entry.key != nullptr && strcasecmp(entry.key, key) == 0)
            return entry.value;
    }
    return nullptr;
}

} // namespace

FUZZ_ADAPTER_EXPORT const char* callJsonMapMethod(const JsonMap* map, const char* functionName)
{
    const size_t bytes = readWholeMap(map);
    const char* name = functionName != nullptr ? functionName : "";
    if (strcasecmp(name, "Kestrova_Unlock") == 0) {
        gAnswer = "0";
    } else if (strcasecmp(name, "Kestrova_GetVersion") == 0) {
        gAnswer = "1.6.3.10080";
    } else if (strcasecmp(name, "Kestrova_Release") == 0) {
        gAnswer.clear();
    } else {
        // Some answers carry what the page sent, as a real adapter's do.
        const char* data = rawValue(map, "sData");
        char count[32];
        snprintf(count, sizeof count, "%zu", bytes);
        gAnswer = std::string(name) + ":" + count + ":" + (data != nullptr ? data : "");
    }
    return gAnswer.c_str();
}
