#pragma once
// Value codecs of request and answer maps: the companion-flag decoding of
// request values, AES-256-CBC with the service's "KestrovaAESCBC" framing (for
// encrypted request values and the shared value store), and Base64.
//
// The AES-256 block function is Nettle's; chaining, padding, framing and the
// result codes below are ours. Every buffer fed from outside has a cap and
// every length taken from input is checked against it.

#include <cstddef>
#include <cstdint>

#include <nettle/aes.h>

struct JsonMap;

// ---------------------------------------------------------------------------
// Constants
// ---------------------------------------------------------------------------

#define KESTROVA_AES_KEY_LENGTH 32
#define KESTROVA_AES_BLOCK_SIZE 16
// The store vector is drawn with 32 bytes; its first 16 are used.
#define KESTROVA_AES_STORE_VECTOR_LENGTH 32
// The framing put before every encrypted text.
#define KESTROVA_AES_PREFIX "KestrovaAESCBC"

// Cipher modes. 4229 is the only one the service selects; the unpadded form is
// kept so a caller with whole blocks can chain without padding.
#define KESTROVA_CIPHER_AES256_CBC_PKCS7 4229
#define KESTROVA_CIPHER_AES256_CBC_NOPAD 4228

// Cipher result codes (0 is success).
#define KESTROVA_CIPHER_OK 0
#define KESTROVA_CIPHER_BAD_ARGUMENT 7    // context or length argument missing
#define KESTROVA_CIPHER_NULL_INPUT 32     // input missing while its length is not 0
#define KESTROVA_CIPHER_BAD_MODE 145      // block size 0 or an unsupported mode
#define KESTROVA_CIPHER_OUTPUT_SMALL 336  // the output buffer is too small
#define KESTROVA_CIPHER_PARTIAL_BLOCK 33  // no padding and a partial block left at the final step
#define KESTROVA_CIPHER_BAD_PADDING 64    // last byte above 16, or padding bytes differ from it
#define KESTROVA_CIPHER_INCOMPLETE 65     // decryption final step without one whole buffered block

// Largest cipher text (and plain text) the codecs accept: well above any
// request body, and far from every size_t and int overflow.
#define KESTROVA_AES_MAX_LENGTH (64u * 1024u * 1024u)

// ---------------------------------------------------------------------------
// Cipher context: one per operation, on the caller's stack, wiped by
// cipherFinal (and by cipherWipe on any other exit).
// ---------------------------------------------------------------------------

struct KestrovaCipherContext {
    int mode;                                     // 4229 or 4228; anything else fails with 145
    int decrypt;                                  // 1 for decryption
    struct aes256_ctx keySchedule;                // expanded key (inverse form for decryption)
    size_t blockSize;                             // 16
    unsigned char buffer[KESTROVA_AES_BLOCK_SIZE]; // partial block carried to the next call
    size_t bufferedCount;
    int holdBack;                                 // decryption: the last whole block waits for final
    unsigned char vector[KESTROVA_AES_BLOCK_SIZE]; // CBC chaining value
};

// Prepares ctx for mode with a 32-byte key and a 16-byte vector. 7 for a null
// ctx, key or vector, 145 for an unknown mode.
[[nodiscard]] int cipherInit(KestrovaCipherContext* ctx, int mode, int decrypt,
                             const unsigned char* key, const unsigned char* vector) noexcept;

// Processes inLength bytes; writes whole blocks to out (at most outCapacity
// bytes) and their number to *outLength. A partial block (and, when decrypting,
// the last whole block) is buffered. Codes: 7 (null ctx or outLength), 32, 145,
// 336 (nothing is consumed then).
[[nodiscard]] int cipherUpdate(KestrovaCipherContext* ctx, const unsigned char* in, size_t inLength,
                               unsigned char* out, size_t outCapacity, size_t* outLength) noexcept;

// Encryption: pads (PKCS#7: n bytes of value n, 1 <= n <= 16) and writes the
// last block. Decryption: decrypts the held block and removes the padding
// (64 for bad padding, 65 without one whole block). 33 for a partial block
// without padding, 336 when out is too small. ctx is wiped in every case.
[[nodiscard]] int cipherFinal(KestrovaCipherContext* ctx, unsigned char* out, size_t outCapacity,
                              size_t* outLength) noexcept;

// Overwrites the context with zeros (null is ignored).
void cipherWipe(KestrovaCipherContext* ctx) noexcept;

// ---------------------------------------------------------------------------
// Keys
// ---------------------------------------------------------------------------

// The fixed initialisation vector of encrypted request values (16 bytes),
// built from four 32-bit constants, most significant byte first.
void aesFixedVector(unsigned char outVector[KESTROVA_AES_BLOCK_SIZE]) noexcept;

// Draws the store key and store vector (32 random bytes each), once per service
// start. False when the random source failed (the bytes are zero then).
bool aesDrawStoreKey() noexcept;
// Replaces the store key and vector (tests, or a caller with its own keys).
void aesSetStoreKey(const unsigned char key[KESTROVA_AES_KEY_LENGTH],
                    const unsigned char vector[KESTROVA_AES_STORE_VECTOR_LENGTH]) noexcept;
// The store key (32 bytes) and store vector (32 bytes, first 16 used); drawn
// on first use when aesDrawStoreKey was never called.
const unsigned char* aesStoreKey() noexcept;
const unsigned char* aesStoreVector() noexcept;

// ---------------------------------------------------------------------------
// Values
// ---------------------------------------------------------------------------

// The value of key as the page meant it, decoded by the first of its companion
// flags that is "true" (any case, first seven characters): "<key>_KestrovaEncryptFlag"
// (hex AES-256-CBC under "Kestrova_share_secret", which is zero-padded to 32
// bytes when shorter), "<key>_KestrovaFlag" ("*" is a backslash),
// "<key>_KestrovaSlashFlag" ("==KestrovaSlash==" is a backslash),
// "<key>_KestrovaBase64Flag" (URL-escaped Base64). New text; a copy of
// rawValue when no flag applies or the decoding fails; null only for a null
// rawValue or memory failure.
char* decodeValue(const JsonMap* map, const char* key, const char* rawValue) noexcept;

// Encrypts "KestrovaAESCBC" + text + its zero byte with the store key and
// vector. New buffer (free it) of *outLength bytes (a multiple of 16), or null
// with *outLength 0 on failure.
unsigned char* aesEncryptValue(const char* text, size_t* outLength) noexcept;

// Decrypts length bytes with a 32-byte key and 16-byte vector and removes the
// padding and the "KestrovaAESCBC" prefix. New zero-terminated text (wipe and
// free it), or null for a null argument, a length that is 0, not a multiple of
// 16 or above KESTROVA_AES_MAX_LENGTH, or bad padding (logged with its code).
char* aesDecryptValue(const unsigned char* cipherText, size_t length, const unsigned char* key,
                      const unsigned char* vector) noexcept;

// ---------------------------------------------------------------------------
// Base64 (RFC 4648 standard alphabet, "=" padding, no line breaks)
// ---------------------------------------------------------------------------

// Space base64Encode needs for length bytes, terminating zero included.
size_t base64EncodedSize(size_t length) noexcept;

// Encodes length bytes into out, which holds outCapacity bytes. Returns the
// length written including the terminating zero, or 0 (out untouched) when a
// pointer is null or out is smaller than base64EncodedSize(length).
size_t base64Encode(const unsigned char* bytes, size_t length, char* out, size_t outCapacity) noexcept;

// Space base64Decode needs for text: n / 4 * 3 + 4, n the number of leading
// alphabet characters (room for the last group and the zero byte).
size_t base64DecodedSize(const char* text) noexcept;

// Decodes the leading alphabet characters of text (stops at the first other
// one: "=", a blank, a line break, the end) into out (outCapacity bytes), then
// writes a zero byte. Full groups give three bytes; the last group gives one
// byte for two characters, two for three, three for four, none for one.
// Returns the number of bytes decoded; 0 when a pointer is null or out is
// smaller than base64DecodedSize(text) (out untouched).
size_t base64Decode(unsigned char* out, size_t outCapacity, const char* text) noexcept;

// Base64 of a text's bytes (up to its zero byte). New text, or null.
char* encodeValueBase64(const char* text) noexcept;

// Replaces "%2B", "%2F", "%3D" (upper case only) by "+", "/", "=" and decodes
// the Base64. New zero-terminated text (decoded bytes after a zero byte are
// not seen by text callers), or null for a null text or memory failure.
// *outLength (optional) receives the number of decoded bytes.
char* decodeUrlBase64(const char* text, size_t* outLength = nullptr) noexcept;
