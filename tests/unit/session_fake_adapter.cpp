// A stand-in adapter library for the session tests, built in three forms:
// both exports (default), FAKE_TEXT_ONLY (callMethod only) and FAKE_NO_ENTRY
// (neither). Its answers follow the environment of the process that loads it:
//   KESTROVA_FAKE_UNLOCK   answer to "Kestrova_Unlock" (default "0")
//   KESTROVA_FAKE_VERSION  answer to "Kestrova_GetVersion" (default "1,6,3,10080")
//   KESTROVA_FAKE_LOG      file that receives one line per unlock and release,
//                          naming the loaded file, so tests see which copy ran
// "Fake_Count" answers how often it was called in this loaded copy (separate
// copies keep separate counts); "Fake_Echo" answers the request's "data".

#include "common/json/Json.h"

#include <dlfcn.h>
#include <strings.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#define FAKE_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

std::string gAnswer;
int gCount = 0;

std::string ownFile() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&ownFile), &info) != 0 && info.dli_fname != nullptr) {
        return info.dli_fname;
    }
    return "?";
}

void note(const std::string& event) {
    const char* path = getenv("KESTROVA_FAKE_LOG");
    if (path == nullptr || path[0] == '\0') {
        return;
    }
    if (FILE* file = fopen(path, "a")) {
        fprintf(file, "%s %s\n", event.c_str(), ownFile().c_str());
        fclose(file);
    }
}

const char* envOr(const char* name, const char* fallback) {
    const char* value = getenv(name);
    return value != nullptr ? value : fallback;
}

[[maybe_unused]] const char* answer(const std::string& name, const std::string& url,
                                    const std::string& data) {
    if (strcasecmp(name.c_str(), "Kestrova_Unlock") == 0) {
        note("unlock " + url);
        gAnswer = envOr("KESTROVA_FAKE_UNLOCK", "0");
    } else if (strcasecmp(name.c_str(), "Kestrova_GetVersion") == 0) {
        gAnswer = envOr("KESTROVA_FAKE_VERSION", "1,6,3,10080");
    } else if (strcasecmp(name.c_str(), "Kestrova_Release") == 0) {
        note("release");
        gAnswer.clear();
    } else if (strcasecmp(name.c_str(), "Fake_Count") == 0) {
        gAnswer = std::to_string(++gCount);
    } else if (strcasecmp(name.c_str(), "Fake_Echo") == 0) {
        gAnswer = data;
    } else {
        gAnswer = "61005";
    }
    return gAnswer.c_str();
}

[[maybe_unused]] std::string mapValue(const JsonMap* map, const char* key) {
    for (int i = 0; i < map->count && i < KESTROVA_JSON_MAP_CAPACITY; ++i) {
        if (map->entries[i].key != nullptr && strcasecmp(map->entries[i].key, key) == 0) {
            return map->entries[i].value != nullptr ? map->entries[i].value : "";
        }
    }
    return "";
}

// Value of "key":"value" in a flat JSON text (keys any case, no escapes).
[[maybe_unused]] std::string textValue(const char* text, const char* key) {
    std::string lowered(text);
    for (char& c : lowered) {
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    }
    std::string wanted = "\"" + std::string(key) + "\"";
    for (char& c : wanted) {
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    }
    size_t at = lowered.find(wanted);
    if (at == std::string::npos) {
        return "";
    }
    at = lowered.find('"', lowered.find(':', at + wanted.size()));
    if (at == std::string::npos) {
        return "";
    }
    const size_t end = lowered.find('"', at + 1);
    return end == std::string::npos ? "" : std::string(text + at + 1, text + end);
}

} // namespace

#ifndef FAKE_NO_ENTRY
FAKE_EXPORT const char* callMethod(const char* jsonText) noexcept {
    if (jsonText == nullptr) {
        gAnswer.clear();
        return gAnswer.c_str();
    }
    return answer(textValue(jsonText, "functionname"), textValue(jsonText, "url"),
                  textValue(jsonText, "data"));
}
#endif

#if !defined(FAKE_NO_ENTRY) && !defined(FAKE_TEXT_ONLY)
FAKE_EXPORT const char* callJsonMapMethod(const JsonMap* map, const char* functionName) noexcept {
    if (map == nullptr || functionName == nullptr) {
        gAnswer.clear();
        return gAnswer.c_str();
    }
    return answer(functionName, mapValue(map, "url"), mapValue(map, "data"));
}
#endif

#ifdef FAKE_NO_ENTRY
FAKE_EXPORT int fakeAdapterWithoutEntries() noexcept {
    return 1;
}
#endif
