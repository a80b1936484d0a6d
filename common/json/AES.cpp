// Companion-flag decoding of request values, AES-256-CBC with the service's
// framing, and Base64.
#include "common/json/AES.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "common/json/Json.h"
#include "common/json/TextEdit.h"
#include "common/runtime/Log.h"
#include "common/runtime/Tool.h"

namespace {

constexpr size_t kPrefixLength = sizeof(KESTROVA_AES_PREFIX) - 1;

// The store key and vector of the shared value store: drawn once per start of
// the service, never written anywhere.
struct StoreKeys {
    std::mutex lock;
    std::atomic<bool> drawn{false};
    unsigned char key[KESTROVA_AES_KEY_LENGTH];
    unsigned char vector[KESTROVA_AES_STORE_VECTOR_LENGTH];
};
StoreKeys gl;

// Fixed vector of encrypted request values. The pages that encrypt values
// use the same 16 bytes: changing them breaks every such page.
constexpr uint32_t kFixedVectorWords[4] = {0x3A7C51E9u, 0xB2046D8Fu, 0x5E91C3A7u, 0x0D6F28B4u};

void logCipherError(int code, int step) noexcept {
    char text[128];
    snprintf(text, sizeof text, "Error code %d = 0x%X at %d line in %s", code,
             static_cast<unsigned>(code), step, "AES");
    logWarning("", text);
}

bool modeSupported(const KestrovaCipherContext* ctx) noexcept {
    return ctx->blockSize == KESTROVA_AES_BLOCK_SIZE &&
           (ctx->mode == KESTROVA_CIPHER_AES256_CBC_PKCS7 ||
            ctx->mode == KESTROVA_CIPHER_AES256_CBC_NOPAD);
}

// One CBC step on a whole block; block is replaced by its result.
void cbcBlock(KestrovaCipherContext* ctx, unsigned char block[KESTROVA_AES_BLOCK_SIZE]) noexcept {
    if (ctx->decrypt) {
        unsigned char cipher[KESTROVA_AES_BLOCK_SIZE];
        memcpy(cipher, block, sizeof cipher);
        aes256_decrypt(&ctx->keySchedule, KESTROVA_AES_BLOCK_SIZE, block, block);
        for (size_t i = 0; i < KESTROVA_AES_BLOCK_SIZE; ++i) {
            block[i] ^= ctx->vector[i];
        }
        memcpy(ctx->vector, cipher, sizeof cipher);
    } else {
        for (size_t i = 0; i < KESTROVA_AES_BLOCK_SIZE; ++i) {
            block[i] ^= ctx->vector[i];
        }
        aes256_encrypt(&ctx->keySchedule, KESTROVA_AES_BLOCK_SIZE, block, block);
        memcpy(ctx->vector, block, KESTROVA_AES_BLOCK_SIZE);
    }
}

void drawStoreKeyLocked() noexcept {
    if (!randomBytes(gl.key, sizeof gl.key) || !randomBytes(gl.vector, sizeof gl.vector)) {
        // The store then works with a zero key: values stay in memory only,
        // and the random source failing is already logged.
        secureWipe(gl.key, sizeof gl.key);
        secureWipe(gl.vector, sizeof gl.vector);
        gl.drawn = true;
        return;
    }
    gl.drawn = true;
}

void ensureStoreKey() noexcept {
    if (gl.drawn.load()) {
        return;
    }
    std::lock_guard<std::mutex> guard(gl.lock);
    if (!gl.drawn.load()) {
        drawStoreKeyLocked();
    }
}

constexpr signed char kBase64Values[256] = {
    -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, // 0x00
    -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, // 0x10
    -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 62, -1, -1, -1, 63, // 0x20 + /
    52, 53, 54, 55, 56, 57, 58, 59, 60, 61, -1, -1, -1, -1, -1, -1, // 0x30 0-9
    -1, 0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, // 0x40 A-O
    15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, -1, -1, -1, -1, -1, // 0x50 P-Z
    -1, 26, 27, 28, 29, 30, 31, 32, 33, 34, 35, 36, 37, 38, 39, 40, // 0x60 a-o
    41, 42, 43, 44, 45, 46, 47, 48, 49, 50, 51, -1, -1, -1, -1, -1, // 0x70 p-z
    -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, //
    -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, //
    -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, //
    -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, //
    -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, //
    -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, //
    -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, //
    -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, //
};
constexpr char kBase64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

size_t base64AlphabetRun(const char* text) noexcept {
    size_t n = 0;
    while (kBase64Values[static_cast<unsigned char>(text[n])] >= 0) {
        ++n;
    }
    return n;
}

// True when the companion key + suffix of key holds "true" (any case). Only
// its first seven characters count, which for "true" is plain equality.
bool companionIsTrue(const JsonMap* map, const char* key, const char* suffix) noexcept {
    size_t keyLength = strlen(key);
    size_t suffixLength = strlen(suffix);
    char* name = static_cast<char*>(malloc(keyLength + suffixLength + 1));
    if (name == nullptr) {
        KESTROVA_ALLOC_FAIL();
        return false;
    }
    memcpy(name, key, keyLength);
    memcpy(name + keyLength, suffix, suffixLength + 1);
    char* flag = BinarySearchKestrovaJsonMap(map, 0, map->count - 1, name);
    free(name);
    if (flag == nullptr) {
        return false;
    }
    if (strlen(flag) > 7) {
        flag[7] = '\0';
    }
    bool result = equalsIgnoreCase(flag, "true");
    free(flag);
    return result;
}

char* decryptFlaggedValue(const JsonMap* map, const char* rawValue) noexcept {
    dumpJsonMap(map);
    logNormal("find key: ", "Kestrova_share_secret");
    char* secret = BinarySearchKestrovaJsonMap(map, 0, map->count - 1, "Kestrova_share_secret");
    if (secret == nullptr) {
        KESTROVA_ALLOC_FAIL();
        return nullptr;
    }
    // A secret shorter than the AES-256 key is completed with zero bytes:
    // reading on past its end would take whatever the heap holds.
    unsigned char key[KESTROVA_AES_KEY_LENGTH] = {};
    size_t secretLength = strlen(secret);
    memcpy(key, secret, secretLength < sizeof key ? secretLength : sizeof key);
    freeSecret(secret);

    unsigned char vector[KESTROVA_AES_BLOCK_SIZE];
    aesFixedVector(vector);
    size_t cipherLength = 0;
    unsigned char* cipher = hexToBytes(rawValue, &cipherLength);
    char* plain = nullptr;
    if (cipher != nullptr) {
        plain = aesDecryptValue(cipher, cipherLength, key, vector);
        secureWipe(cipher, cipherLength);
        free(cipher);
    }
    secureWipe(key, sizeof key);
    if (plain == nullptr) {
        KESTROVA_ALLOC_FAIL();
    }
    return plain;
}

} // namespace

// ---------------------------------------------------------------------------
// Cipher context
// ---------------------------------------------------------------------------

void cipherWipe(KestrovaCipherContext* ctx) noexcept {
    if (ctx != nullptr) {
        secureWipe(ctx, sizeof *ctx);
    }
}

int cipherInit(KestrovaCipherContext* ctx, int mode, int decrypt, const unsigned char* key,
               const unsigned char* vector) noexcept {
    if (ctx == nullptr) {
        return KESTROVA_CIPHER_BAD_ARGUMENT;
    }
    cipherWipe(ctx);
    if (key == nullptr || vector == nullptr) {
        return KESTROVA_CIPHER_BAD_ARGUMENT;
    }
    if (mode != KESTROVA_CIPHER_AES256_CBC_PKCS7 && mode != KESTROVA_CIPHER_AES256_CBC_NOPAD) {
        return KESTROVA_CIPHER_BAD_MODE;
    }
    ctx->mode = mode;
    ctx->decrypt = decrypt ? 1 : 0;
    ctx->blockSize = KESTROVA_AES_BLOCK_SIZE;
    if (ctx->decrypt) {
        aes256_set_decrypt_key(&ctx->keySchedule, key);
    } else {
        aes256_set_encrypt_key(&ctx->keySchedule, key);
    }
    // The last whole block of a padded decryption carries the padding; only
    // the final step may emit it.
    ctx->holdBack = ctx->decrypt && mode == KESTROVA_CIPHER_AES256_CBC_PKCS7 ? 1 : 0;
    memcpy(ctx->vector, vector, KESTROVA_AES_BLOCK_SIZE);
    return KESTROVA_CIPHER_OK;
}

int cipherUpdate(KestrovaCipherContext* ctx, const unsigned char* in, size_t inLength,
                 unsigned char* out, size_t outCapacity, size_t* outLength) noexcept {
    if (ctx == nullptr || outLength == nullptr) {
        return KESTROVA_CIPHER_BAD_ARGUMENT;
    }
    *outLength = 0;
    if (in == nullptr && inLength != 0) {
        return KESTROVA_CIPHER_NULL_INPUT;
    }
    if (!modeSupported(ctx)) {
        return KESTROVA_CIPHER_BAD_MODE;
    }
    if (inLength > SIZE_MAX - 2 * KESTROVA_AES_BLOCK_SIZE) {
        return KESTROVA_CIPHER_BAD_ARGUMENT;
    }
    size_t total = ctx->bufferedCount + inLength;
    size_t blocks = total / KESTROVA_AES_BLOCK_SIZE;
    if (ctx->holdBack && blocks > 0 && total % KESTROVA_AES_BLOCK_SIZE == 0) {
        --blocks;
    }
    size_t needed = blocks * KESTROVA_AES_BLOCK_SIZE;
    if (needed > 0 && (out == nullptr || outCapacity < needed)) {
        return KESTROVA_CIPHER_OUTPUT_SMALL;
    }
    size_t used = 0;
    unsigned char block[KESTROVA_AES_BLOCK_SIZE];
    for (size_t b = 0; b < blocks; ++b) {
        size_t fromBuffer = ctx->bufferedCount;
        memcpy(block, ctx->buffer, fromBuffer);
        memcpy(block + fromBuffer, in + used, KESTROVA_AES_BLOCK_SIZE - fromBuffer);
        used += KESTROVA_AES_BLOCK_SIZE - fromBuffer;
        ctx->bufferedCount = 0;
        cbcBlock(ctx, block);
        memcpy(out + b * KESTROVA_AES_BLOCK_SIZE, block, KESTROVA_AES_BLOCK_SIZE);
    }
    secureWipe(block, sizeof block);
    size_t rest = inLength - used;
    if (rest > 0) {
        memcpy(ctx->buffer + ctx->bufferedCount, in + used, rest);
        ctx->bufferedCount += rest;
    }
    *outLength = needed;
    return KESTROVA_CIPHER_OK;
}

int cipherFinal(KestrovaCipherContext* ctx, unsigned char* out, size_t outCapacity,
                size_t* outLength) noexcept {
    if (ctx == nullptr || outLength == nullptr) {
        cipherWipe(ctx);
        return KESTROVA_CIPHER_BAD_ARGUMENT;
    }
    *outLength = 0;
    int code = KESTROVA_CIPHER_OK;
    unsigned char block[KESTROVA_AES_BLOCK_SIZE];
    bool padded = ctx->mode == KESTROVA_CIPHER_AES256_CBC_PKCS7;
    if (!modeSupported(ctx)) {
        code = KESTROVA_CIPHER_BAD_MODE;
    } else if (!padded) {
        if (ctx->bufferedCount != 0) {
            code = KESTROVA_CIPHER_PARTIAL_BLOCK;
        }
    } else if (!ctx->decrypt) {
        if (out == nullptr || outCapacity < KESTROVA_AES_BLOCK_SIZE) {
            code = KESTROVA_CIPHER_OUTPUT_SMALL;
        } else {
            size_t pad = KESTROVA_AES_BLOCK_SIZE - ctx->bufferedCount;
            memcpy(block, ctx->buffer, ctx->bufferedCount);
            memset(block + ctx->bufferedCount, static_cast<int>(pad), pad);
            cbcBlock(ctx, block);
            memcpy(out, block, KESTROVA_AES_BLOCK_SIZE);
            *outLength = KESTROVA_AES_BLOCK_SIZE;
        }
    } else if (ctx->bufferedCount != KESTROVA_AES_BLOCK_SIZE) {
        code = KESTROVA_CIPHER_INCOMPLETE;
    } else {
        memcpy(block, ctx->buffer, KESTROVA_AES_BLOCK_SIZE);
        cbcBlock(ctx, block);
        size_t pad = block[KESTROVA_AES_BLOCK_SIZE - 1];
        if (pad > KESTROVA_AES_BLOCK_SIZE) {
            code = KESTROVA_CIPHER_BAD_PADDING;
        } else {
            // A last byte of 0 removes nothing; texts framed by the service
            // always end in their zero byte before any padding.
            for (size_t i = KESTROVA_AES_BLOCK_SIZE - pad; i < KESTROVA_AES_BLOCK_SIZE; ++i) {
                if (block[i] != pad) {
                    code = KESTROVA_CIPHER_BAD_PADDING;
                }
            }
        }
        size_t plainLength = KESTROVA_AES_BLOCK_SIZE - pad;
        if (code == KESTROVA_CIPHER_OK && plainLength > 0) {
            if (out == nullptr || outCapacity < plainLength) {
                code = KESTROVA_CIPHER_OUTPUT_SMALL;
            } else {
                memcpy(out, block, plainLength);
                *outLength = plainLength;
            }
        }
    }
    secureWipe(block, sizeof block);
    cipherWipe(ctx);
    return code;
}

// ---------------------------------------------------------------------------
// Keys
// ---------------------------------------------------------------------------

void aesFixedVector(unsigned char outVector[KESTROVA_AES_BLOCK_SIZE]) noexcept {
    if (outVector == nullptr) {
        return;
    }
    for (size_t w = 0; w < 4; ++w) {
        for (size_t b = 0; b < 4; ++b) {
            outVector[w * 4 + b] = static_cast<unsigned char>(kFixedVectorWords[w] >> (24 - 8 * b));
        }
    }
}

bool aesDrawStoreKey() noexcept {
    std::lock_guard<std::mutex> guard(gl.lock);
    drawStoreKeyLocked();
    for (unsigned char byte : gl.key) {
        if (byte != 0) {
            return true;
        }
    }
    return false;
}

void aesSetStoreKey(const unsigned char key[KESTROVA_AES_KEY_LENGTH],
                    const unsigned char vector[KESTROVA_AES_STORE_VECTOR_LENGTH]) noexcept {
    if (key == nullptr || vector == nullptr) {
        KESTROVA_NULL_PARAM(key == nullptr ? "inputKey" : "inputIV");
        return;
    }
    std::lock_guard<std::mutex> guard(gl.lock);
    memcpy(gl.key, key, sizeof gl.key);
    memcpy(gl.vector, vector, sizeof gl.vector);
    gl.drawn = true;
}

const unsigned char* aesStoreKey() noexcept {
    ensureStoreKey();
    return gl.key;
}

const unsigned char* aesStoreVector() noexcept {
    ensureStoreKey();
    return gl.vector;
}

// ---------------------------------------------------------------------------
// Values
// ---------------------------------------------------------------------------

char* decodeValue(const JsonMap* map, const char* key, const char* rawValue) noexcept {
    if (map == nullptr || key == nullptr || rawValue == nullptr) {
        KESTROVA_NULL_PARAM(map == nullptr ? "inputKestrovaJson"
                            : key == nullptr ? "inputKey"
                                             : "inputValue");
        return copyString(rawValue);
    }
    // At most one decoding applies, in this order.
    char* decoded = nullptr;
    bool flagged = true;
    if (companionIsTrue(map, key, "_KestrovaEncryptFlag")) {
        decoded = decryptFlaggedValue(map, rawValue);
        if (decoded == nullptr) {
            return copyString(rawValue);
        }
        return decoded;
    } else if (companionIsTrue(map, key, "_KestrovaFlag")) {
        decoded = replaceAll(rawValue, "*", "\\");
    } else if (companionIsTrue(map, key, "_KestrovaSlashFlag")) {
        decoded = replaceAll(rawValue, "==KestrovaSlash==", "\\");
    } else if (companionIsTrue(map, key, "_KestrovaBase64Flag")) {
        decoded = decodeUrlBase64(rawValue);
    } else {
        flagged = false;
    }
    if (!flagged) {
        return copyString(rawValue);
    }
    if (decoded == nullptr) {
        KESTROVA_ALLOC_FAIL();
        return copyString(rawValue);
    }
    return decoded;
}

unsigned char* aesEncryptValue(const char* text, size_t* outLength) noexcept {
    if (outLength != nullptr) {
        *outLength = 0;
    }
    if (text == nullptr) {
        KESTROVA_NULL_PARAM("inputText");
        return nullptr;
    }
    if (outLength == nullptr) {
        KESTROVA_NULL_PARAM("outLength");
        return nullptr;
    }
    size_t textLength = strlen(text);
    if (textLength > KESTROVA_AES_MAX_LENGTH) {
        logWarning("AES: ", "Text too long");
        return nullptr;
    }
    // The zero byte is encrypted too, so a decrypted text is always terminated.
    size_t framedLength = kPrefixLength + textLength + 1;
    // PKCS#7 always adds 1 to 16 bytes: a whole block when already aligned.
    size_t cipherCapacity = (framedLength / KESTROVA_AES_BLOCK_SIZE + 1) * KESTROVA_AES_BLOCK_SIZE;
    unsigned char* framed = static_cast<unsigned char*>(malloc(framedLength));
    unsigned char* cipher = static_cast<unsigned char*>(calloc(cipherCapacity, 1));
    if (framed == nullptr || cipher == nullptr) {
        KESTROVA_ALLOC_FAIL();
        free(framed);
        free(cipher);
        return nullptr;
    }
    memcpy(framed, KESTROVA_AES_PREFIX, kPrefixLength);
    memcpy(framed + kPrefixLength, text, textLength + 1);

    ensureStoreKey();
    KestrovaCipherContext ctx;
    size_t updateLength = 0, finalLength = 0;
    int code = cipherInit(&ctx, KESTROVA_CIPHER_AES256_CBC_PKCS7, 0, gl.key, gl.vector);
    int step = __LINE__;
    if (code == KESTROVA_CIPHER_OK) {
        code = cipherUpdate(&ctx, framed, framedLength, cipher, cipherCapacity, &updateLength);
        step = __LINE__;
    }
    if (code == KESTROVA_CIPHER_OK) {
        code = cipherFinal(&ctx, cipher + updateLength, cipherCapacity - updateLength, &finalLength);
        step = __LINE__;
    }
    cipherWipe(&ctx);
    secureWipe(framed, framedLength);
    free(framed);
    if (code != KESTROVA_CIPHER_OK) {
        // A half-encrypted value is worth nothing to the store: no result.
        logCipherError(code, step);
        free(cipher);
        return nullptr;
    }
    *outLength = updateLength + finalLength;
    return cipher;
}

char* aesDecryptValue(const unsigned char* cipherText, size_t length, const unsigned char* key,
                      const unsigned char* vector) noexcept {
    if (cipherText == nullptr || key == nullptr || vector == nullptr) {
        KESTROVA_NULL_PARAM(cipherText == nullptr ? "inputText"
                            : key == nullptr      ? "inputKey"
                                                  : "inputIV");
        return nullptr;
    }
    if (length > KESTROVA_AES_MAX_LENGTH) {
        logWarning("AES: ", "Cipher text too long");
        return nullptr;
    }
    unsigned char* plain = static_cast<unsigned char*>(calloc(length + 1, 1));
    if (plain == nullptr) {
        KESTROVA_ALLOC_FAIL();
        return nullptr;
    }
    KestrovaCipherContext ctx;
    size_t updateLength = 0, finalLength = 0;
    int code = cipherInit(&ctx, KESTROVA_CIPHER_AES256_CBC_PKCS7, 1, key, vector);
    int step = __LINE__;
    if (code == KESTROVA_CIPHER_OK) {
        code = cipherUpdate(&ctx, cipherText, length, plain, length, &updateLength);
        step = __LINE__;
    }
    if (code == KESTROVA_CIPHER_OK) {
        code = cipherFinal(&ctx, plain + updateLength, length - updateLength, &finalLength);
        step = __LINE__;
    }
    cipherWipe(&ctx);
    if (code != KESTROVA_CIPHER_OK) {
        logCipherError(code, step);
        secureWipe(plain, length + 1);
        free(plain);
        return nullptr;
    }
    size_t plainLength = updateLength + finalLength;
    // Everything after the plain text (the padding's room) is still zero.
    if (plainLength >= kPrefixLength && memcmp(plain, KESTROVA_AES_PREFIX, kPrefixLength) == 0) {
        logNormal("AES: ", "Remove prefix");
        char* stripped = copyString(reinterpret_cast<char*>(plain) + kPrefixLength);
        if (!randomBytes(plain, length + 1)) {
            secureWipe(plain, length + 1);
        }
        free(plain);
        if (stripped == nullptr) {
            KESTROVA_ALLOC_FAIL();
        }
        return stripped;
    }
    return reinterpret_cast<char*>(plain);
}

// ---------------------------------------------------------------------------
// Base64
// ---------------------------------------------------------------------------

size_t base64EncodedSize(size_t length) noexcept {
    if (length > (SIZE_MAX / 4) * 3 - 3) {
        return 0;
    }
    return (length + 2) / 3 * 4 + 1;
}

size_t base64Encode(const unsigned char* bytes, size_t length, char* out,
                    size_t outCapacity) noexcept {
    if ((bytes == nullptr && length != 0) || out == nullptr) {
        KESTROVA_NULL_PARAM(out == nullptr ? "out" : "input");
        return 0;
    }
    size_t needed = base64EncodedSize(length);
    if (needed == 0 || outCapacity < needed) {
        return 0;
    }
    size_t at = 0;
    size_t i = 0;
    for (; i + 3 <= length; i += 3) {
        uint32_t group = (uint32_t{bytes[i]} << 16) | (uint32_t{bytes[i + 1]} << 8) | bytes[i + 2];
        out[at++] = kBase64Alphabet[(group >> 18) & 63];
        out[at++] = kBase64Alphabet[(group >> 12) & 63];
        out[at++] = kBase64Alphabet[(group >> 6) & 63];
        out[at++] = kBase64Alphabet[group & 63];
    }
    size_t rest = length - i;
    if (rest > 0) {
        uint32_t group = uint32_t{bytes[i]} << 16;
        if (rest == 2) {
            group |= uint32_t{bytes[i + 1]} << 8;
        }
        out[at++] = kBase64Alphabet[(group >> 18) & 63];
        out[at++] = kBase64Alphabet[(group >> 12) & 63];
        out[at++] = rest == 2 ? kBase64Alphabet[(group >> 6) & 63] : '=';
        out[at++] = '=';
    }
    out[at++] = '\0';
    return at;
}

size_t base64DecodedSize(const char* text) noexcept {
    if (text == nullptr) {
        return 0;
    }
    size_t n = base64AlphabetRun(text);
    return n / 4 * 3 + 3 + 1;
}

size_t base64Decode(unsigned char* out, size_t outCapacity, const char* text) noexcept {
    if (out == nullptr || text == nullptr) {
        KESTROVA_NULL_PARAM(out == nullptr ? "out" : "input");
        return 0;
    }
    size_t n = base64AlphabetRun(text);
    if (outCapacity < base64DecodedSize(text)) {
        return 0;
    }
    const unsigned char* in = reinterpret_cast<const unsigned char*>(text);
    size_t at = 0;
    size_t i = 0;
    // Whole groups while more than four characters remain; the last group
    // (one to four characters) is decoded on its own below.
    for (; n - i > 4; i += 4) {
        uint32_t group = (uint32_t(kBase64Values[in[i]]) << 18) |
                         (uint32_t(kBase64Values[in[i + 1]]) << 12) |
                         (uint32_t(kBase64Values[in[i + 2]]) << 6) | uint32_t(kBase64Values[in[i + 3]]);
        out[at++] = static_cast<unsigned char>(group >> 16);
        out[at++] = static_cast<unsigned char>(group >> 8);
        out[at++] = static_cast<unsigned char>(group);
    }
    size_t rest = n - i;
    if (rest >= 2) {
        uint32_t group = (uint32_t(kBase64Values[in[i]]) << 18) |
                         (uint32_t(kBase64Values[in[i + 1]]) << 12);
        if (rest >= 3) {
            group |= uint32_t(kBase64Values[in[i + 2]]) << 6;
        }
        if (rest == 4) {
            group |= uint32_t(kBase64Values[in[i + 3]]);
        }
        out[at++] = static_cast<unsigned char>(group >> 16);
        if (rest >= 3) {
            out[at++] = static_cast<unsigned char>(group >> 8);
        }
        if (rest == 4) {
            out[at++] = static_cast<unsigned char>(group);
        }
    }
    out[at] = '\0';
    return at;
}

char* encodeValueBase64(const char* text) noexcept {
    if (text == nullptr) {
        KESTROVA_NULL_PARAM("input");
        return nullptr;
    }
    size_t length = strlen(text);
    size_t size = base64EncodedSize(length);
    char* out = size != 0 ? static_cast<char*>(malloc(size)) : nullptr;
    if (out == nullptr) {
        KESTROVA_ALLOC_FAIL();
        return nullptr;
    }
    base64Encode(reinterpret_cast<const unsigned char*>(text), length, out, size);
    return out;
}

char* decodeUrlBase64(const char* text, size_t* outLength) noexcept {
    if (outLength != nullptr) {
        *outLength = 0;
    }
    if (text == nullptr) {
        return nullptr;
    }
    // The request body is a secret-bearing text: edit a copy in place rather
    // than leave intermediate copies behind.
    char* unescaped = copyString(text);
    if (unescaped == nullptr) {
        KESTROVA_ALLOC_FAIL();
        return nullptr;
    }
    replaceShrinkingInPlace(unescaped, "%2B", "+");
    replaceShrinkingInPlace(unescaped, "%2F", "/");
    replaceShrinkingInPlace(unescaped, "%3D", "=");
    size_t size = base64DecodedSize(unescaped);
    unsigned char* out = static_cast<unsigned char*>(calloc(size, 1));
    if (out == nullptr) {
        KESTROVA_ALLOC_FAIL();
        freeSecret(unescaped);
        return nullptr;
    }
    size_t decoded = base64Decode(out, size, unescaped);
    freeSecret(unescaped);
    if (outLength != nullptr) {
        *outLength = decoded;
    }
    return reinterpret_cast<char*>(out);
}
