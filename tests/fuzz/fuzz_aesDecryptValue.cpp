// Cipher texts of the shared value store and of encrypted request values.
// With the first byte odd, the rest is taken as a plain text and encrypted
// without padding first, so the padding check and the prefix removal see
// every shape of last block; otherwise the rest is the cipher text itself.
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/json/AES.h"
#include "tests/fuzz/FuzzSupport.h"

namespace {
const unsigned char kKey[KESTROVA_AES_KEY_LENGTH] = {
    1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32};
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    unsigned char vector[KESTROVA_AES_BLOCK_SIZE];
    aesFixedVector(vector);
    std::vector<unsigned char> input(data + 1, data + size);
    std::vector<unsigned char> cipher;
    if (data[0] & 1) {
        input.resize(input.size() / KESTROVA_AES_BLOCK_SIZE * KESTROVA_AES_BLOCK_SIZE);
        cipher.resize(input.size());
        KestrovaCipherContext ctx;
        size_t n = 0, m = 0;
        if (cipherInit(&ctx, KESTROVA_CIPHER_AES256_CBC_NOPAD, 0, kKey, vector) != 0 ||
            cipherUpdate(&ctx, input.data(), input.size(), cipher.data(), cipher.size(), &n) != 0 ||
            cipherFinal(&ctx, cipher.data() + n, cipher.size() - n, &m) != 0 || n + m != input.size()) {
            abort();
        }
    } else {
        cipher = input;
    }
    // Exactly sized heap copy: a read past the cipher text is caught.
    unsigned char* exact = static_cast<unsigned char*>(malloc(cipher.size() + 1));
    if (!cipher.empty()) {
        memcpy(exact, cipher.data(), cipher.size());
    }
    char* plain = aesDecryptValue(exact, cipher.size(), kKey, vector);
    if (plain != nullptr && strlen(plain) > cipher.size()) {
        abort();
    }
    free(plain);
    free(exact);
    return 0;
}
