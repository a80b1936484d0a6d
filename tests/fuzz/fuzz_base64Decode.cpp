// Base64 decoding into a buffer of exactly the announced size, and the round
// trip: what was decoded encodes and decodes back to the same bytes.
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/json/AES.h"
#include "tests/fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text = fuzz::asText(data, size);
    size_t capacity = base64DecodedSize(text.c_str());
    // A heap block of exactly that size: any write past it is caught.
    unsigned char* out = static_cast<unsigned char*>(malloc(capacity));
    size_t n = base64Decode(out, capacity, text.c_str());
    if (n >= capacity || out[n] != 0) {
        abort();
    }
    // Too small by one byte must be refused, not overrun.
    if (capacity > 0 && base64Decode(out, capacity - 1, text.c_str()) != 0) {
        abort();
    }
    size_t encodedSize = base64EncodedSize(n);
    char* encoded = static_cast<char*>(malloc(encodedSize));
    if (base64Encode(out, n, encoded, encodedSize) != encodedSize) {
        abort();
    }
    size_t againCapacity = base64DecodedSize(encoded);
    unsigned char* again = static_cast<unsigned char*>(malloc(againCapacity));
    size_t m = base64Decode(again, againCapacity, encoded);
    if (m != n || memcmp(again, out, n) != 0) {
        abort();
    }
    free(again);
    free(encoded);
    free(out);
    return 0;
}
