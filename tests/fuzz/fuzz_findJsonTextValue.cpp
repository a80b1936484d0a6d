// Inter-process message texts: the key is the first line, the JSON text the rest.
#include <cstdlib>

#include "common/json/Json.h"
#include "tests/fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string input = fuzz::asText(data, size);
    size_t newline = input.find('\n');
    std::string key = newline == std::string::npos ? std::string("Instruction") : input.substr(0, newline);
    std::string json = newline == std::string::npos ? input : input.substr(newline + 1);
    free(findJsonTextValue(json.c_str(), key.c_str()));
    for (const char* fixed : {"From", "To", "Instruction", "Message", "TimeValue", "HashValue"}) {
        free(findJsonTextValue(json.c_str(), fixed));
    }
    return 0;
}
