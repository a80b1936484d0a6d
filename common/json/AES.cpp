// Skeleton: filled in by the next commit.
#include "common/json/AES.h"

int cipherInit(KestrovaCipherContext*, int, int, const unsigned char*, const unsigned char*) noexcept { return 7; }
int cipherUpdate(KestrovaCipherContext*, const unsigned char*, size_t, unsigned char*, size_t, size_t*) noexcept { return 7; }
int cipherFinal(KestrovaCipherContext*, unsigned char*, size_t, size_t*) noexcept { return 7; }
void cipherWipe(KestrovaCipherContext*) noexcept {}
void aesFixedVector(unsigned char*) noexcept {}
bool aesDrawStoreKey() noexcept { return false; }
void aesSetStoreKey(const unsigned char*, const unsigned char*) noexcept {}
const unsigned char* aesStoreKey() noexcept { return nullptr; }
const unsigned char* aesStoreVector() noexcept { return nullptr; }
char* decodeValue(const JsonMap*, const char*, const char*) noexcept { return nullptr; }
unsigned char* aesEncryptValue(const char*, size_t*) noexcept { return nullptr; }
char* aesDecryptValue(const unsigned char*, size_t, const unsigned char*, const unsigned char*) noexcept { return nullptr; }
size_t base64EncodedSize(size_t) noexcept { return 0; }
size_t base64Encode(const unsigned char*, size_t, char*, size_t) noexcept { return 0; }
size_t base64DecodedSize(const char*) noexcept { return 0; }
size_t base64Decode(unsigned char*, size_t, const char*) noexcept { return 0; }
char* encodeValueBase64(const char*) noexcept { return nullptr; }
char* decodeUrlBase64(const char*, size_t*) noexcept { return nullptr; }
