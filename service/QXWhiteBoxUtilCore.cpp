#include "service/QXWhiteBoxUtilCore.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <nettle/sha2.h>

#include "common/runtime/Log.h"
#include "common/runtime/Tool.h"

// The table and seed are drawn at random for each build folder by the
// credentials generator; the derivation below only has to be deterministic and
// to depend on every value of both. A domain label keeps the digest from
// ever coinciding with a plain hash of the same bytes used elsewhere.
static const char kWhiteBoxLabel[] = "ARDEQKestrova/WhiteBox/1";

static void hashLittleEndian(sha256_ctx* ctx, uint32_t value, size_t byteCount) {
    uint8_t bytes[4];
    for (size_t i = 0; i < byteCount; ++i) {
        bytes[i] = static_cast<uint8_t>(value >> (8 * i));
    }
    sha256_update(ctx, byteCount, bytes);
}

// Final reports a bad slot on standard output, whether logging is on or not:
// a caller that hands it nothing has lost track of a key text.
static void printNullWarning(const char* name, int line) {
    printf("[Warning] Parameter %s is null at %s %d\n", name, "QXWhiteBoxUtilCore", line);
    fflush(stdout);
}

extern "C" char* getQXWhiteboxResult(int16_t** table, int32_t size, int32_t seed) {
    if (table == nullptr) {
        KESTROVA_NULL_PARAM("table");
        return nullptr;
    }
    if (size < 1 || size > kWhiteBoxMaxSize) {
        logWarningNumber("White-box table size refused: ", size);
        return nullptr;
    }
    for (int32_t row = 0; row < size; ++row) {
        if (table[row] == nullptr) {
            KESTROVA_NULL_PARAM("table[row]");
            return nullptr;
        }
    }

    sha256_ctx ctx;
    sha256_init(&ctx);
    sha256_update(&ctx, sizeof kWhiteBoxLabel - 1,
                  reinterpret_cast<const uint8_t*>(kWhiteBoxLabel));
    hashLittleEndian(&ctx, static_cast<uint32_t>(size), 4);
    hashLittleEndian(&ctx, static_cast<uint32_t>(seed), 4);
    for (int32_t row = 0; row < size; ++row) {
        for (int32_t column = 0; column < size; ++column) {
            hashLittleEndian(&ctx, static_cast<uint16_t>(table[row][column]), 2);
        }
    }
    uint8_t digest[SHA256_DIGEST_SIZE];
    sha256_digest(&ctx, sizeof digest, digest);
    secureWipe(&ctx, sizeof ctx);

    char* text = static_cast<char*>(calloc(2 * sizeof digest + 1, 1));
    if (text == nullptr) {
        KESTROVA_ALLOC_FAIL();
    } else {
        static const char kDigits[] = "0123456789ABCDEF";
        for (size_t i = 0; i < sizeof digest; ++i) {
            text[2 * i] = kDigits[digest[i] >> 4];
            text[2 * i + 1] = kDigits[digest[i] & 0x0F];
        }
    }
    secureWipe(digest, sizeof digest);
    return text;
}

extern "C" void QXWhiteBoxResultFinal(char** inputPointer) {
    if (inputPointer == nullptr) {
        printNullWarning("inputPointer", __LINE__);
        return;
    }
    if (*inputPointer == nullptr) {
        printNullWarning("*inputPointer", __LINE__);
        return;
    }
    char* text = *inputPointer;
    size_t length = strlen(text);
    if (!randomBytes(text, length)) {
        secureWipe(text, length);
    }
    *inputPointer = nullptr;
}
