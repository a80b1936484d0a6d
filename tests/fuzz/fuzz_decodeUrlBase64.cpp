// The "Parameter" form field as it arrives: URL-escaped Base64.
#include <cstdlib>
#include <cstring>

#include "common/json/AES.h"
#include "tests/fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text = fuzz::asText(data, size);
    size_t length = 0;
    char* decoded = decodeUrlBase64(text.c_str(), &length);
    if (decoded == nullptr || decoded[length] != '\0') {
        abort();
    }
    free(decoded);
    return 0;
}
