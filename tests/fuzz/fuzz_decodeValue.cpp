// Request values with their companion flags: the first byte chooses which
// flags are set (and whether to "true", "TRUE" or something else), the rest
// is the value, then after a line feed the shared secret.
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
    if (size == 0) {
        return 0;
    }
    unsigned flags = data[0];
    std::string rest = fuzz::asText(data + 1, size - 1);
    size_t newline = rest.find('\n');
    std::string value = rest.substr(0, newline);
    JsonMap* map = newJsonMap();
    if (map == nullptr) {
        return 0;
    }
    setValue(map, "v", value.c_str());
    if (newline != std::string::npos) {
        setValue(map, "Kestrova_share_secret", rest.substr(newline + 1).c_str());
    }
    static const char* const suffixes[] = {"v_KestrovaEncryptFlag", "v_KestrovaFlag", "v_KestrovaSlashFlag",
                                           "v_KestrovaBase64Flag", "v_KestrovaHide"};
    for (unsigned i = 0; i < 5; ++i) {
        if (flags & (1u << i)) {
            setValue(map, suffixes[i], (flags & 0x80) ? "TRUE" : ((flags & 0x40) ? "true1" : "true"));
        }
    }
    free(getValue(map, "v"));
    free(decodeValue(map, "v", value.c_str()));
    dumpJsonMap(map);
    freeJsonMap(map);
    return 0;
}
