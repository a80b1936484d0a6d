// Value codecs: the companion flags and their order, AES-256-CBC with the
// "KestrovaAESCBC" framing (known answers, result codes, framed lengths, and
// interop with the openssl command line), and Base64.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "common/json/AES.h"
#include "common/json/Json.h"
#include "tests/unit/json_testlog.h"

namespace {

struct MapFree {
    void operator()(JsonMap* map) const { freeJsonMap(map); }
};
using MapPtr = std::unique_ptr<JsonMap, MapFree>;

std::string text(char* heapText) {
    std::string result = heapText != nullptr ? std::string(heapText) : std::string("<null>");
    free(heapText);
    return result;
}

using Bytes = std::vector<unsigned char>;

Bytes fromHex(const std::string& hex) {
    Bytes bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes.push_back(static_cast<unsigned char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

std::string toHex(const unsigned char* bytes, size_t length) {
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (size_t i = 0; i < length; ++i) {
        hex += digits[bytes[i] >> 4];
        hex += digits[bytes[i] & 15];
    }
    return hex;
}

std::string toHex(const Bytes& bytes) { return toHex(bytes.data(), bytes.size()); }

// The value of key in a request parsed from json, decoded by its flags.
std::string decodedValue(const std::string& json, const char* key) {
    MapPtr map(parseJsonMap(json.c_str()));
    if (!map) {
        return "<no map>";
    }
    return text(getValue(map.get(), key));
}

// Encrypts bytes in one call with the given mode; the cipher code is returned.
int encryptOnce(int mode, const Bytes& key, const Bytes& vector, const Bytes& plain, Bytes* out) {
    KestrovaCipherContext ctx;
    int code = cipherInit(&ctx, mode, 0, key.data(), vector.data());
    if (code != 0) {
        return code;
    }
    out->assign(plain.size() + 32, 0);
    size_t updateLength = 0, finalLength = 0;
    code = cipherUpdate(&ctx, plain.data(), plain.size(), out->data(), out->size(), &updateLength);
    if (code == 0) {
        code = cipherFinal(&ctx, out->data() + updateLength, out->size() - updateLength, &finalLength);
    }
    out->resize(updateLength + finalLength);
    cipherWipe(&ctx);
    return code;
}

int decryptOnce(int mode, const Bytes& key, const Bytes& vector, const Bytes& cipher, Bytes* out) {
    KestrovaCipherContext ctx;
    int code = cipherInit(&ctx, mode, 1, key.data(), vector.data());
    if (code != 0) {
        return code;
    }
    out->assign(cipher.size() + 16, 0);
    size_t updateLength = 0, finalLength = 0;
    code = cipherUpdate(&ctx, cipher.data(), cipher.size(), out->data(), out->size(), &updateLength);
    if (code == 0) {
        code = cipherFinal(&ctx, out->data() + updateLength, out->size() - updateLength, &finalLength);
    }
    out->resize(updateLength + finalLength);
    cipherWipe(&ctx);
    return code;
}

const Bytes kKey = fromHex("603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4");
const Bytes kVector = fromHex("000102030405060708090a0b0c0d0e0f");

Bytes fixedVector() {
    Bytes vector(16);
    aesFixedVector(vector.data());
    return vector;
}

// Hex of "KestrovaAESCBC" + text + zero byte encrypted under key with the
// fixed vector, as a page would send it.
std::string pageCipherHex(const Bytes& key, const std::string& value) {
    std::string framed = std::string(KESTROVA_AES_PREFIX) + value;
    Bytes plain(framed.begin(), framed.end());
    plain.push_back(0);
    Bytes cipher;
    EXPECT_EQ(encryptOnce(KESTROVA_CIPHER_AES256_CBC_PKCS7, key, fixedVector(), plain, &cipher), 0);
    return toHex(cipher);
}

Bytes secretKey(const std::string& secret) {
    Bytes key(32, 0);
    memcpy(key.data(), secret.data(), std::min<size_t>(secret.size(), 32));
    return key;
}

} // namespace

// ---------------------------------------------------------------------------
// Companion flags
// ---------------------------------------------------------------------------

TEST(AesValueFlags, DecodeByTheFirstTrueFlag) {
    struct Case {
        const char* json;
        const char* expected;
    } cases[] = {
        {R"({"name":"C:*Temp","name_KestrovaFlag":"true"})", "C:\\Temp"},
        {R"({"name":"C:*Temp","name_KestrovaFlag":"TRUE"})", "C:\\Temp"},
        {R"({"name":"C:*Temp","name_KestrovaFlag":"yes"})", "C:*Temp"},
        {R"({"name":"C:*Temp","name_KestrovaFlag":"true123"})", "C:*Temp"},
        {R"({"name":"C:*Temp","NAME_kestrovaflag":"true"})", "C:\\Temp"}, // companion keys compare in any case
        {R"({"name":"a==KestrovaSlash==b","name_KestrovaSlashFlag":"true"})", "a\\b"},
        {R"({"name":"aGVsbG8%3D","name_KestrovaBase64Flag":"true"})", "hello"},
        {R"({"name":"aGVsbG8%3D","name_KestrovaBase64Flag":"false"})", "aGVsbG8%3D"},
        {R"({"name":"secret","name_KestrovaHide":"true"})", "secret"},
        {R"({"name":"plain*text"})", "plain*text"},
        // Order between two flags: only the first one in the table applies.
        {R"({"name":"a*b","name_KestrovaFlag":"true","name_KestrovaBase64Flag":"true"})", "a\\b"},
        {R"({"name":"a*b==KestrovaSlash==c","name_KestrovaFlag":"true","name_KestrovaSlashFlag":"true"})",
         "a\\b==KestrovaSlash==c"},
        {R"({"name":"YQ==KestrovaSlash==","name_KestrovaSlashFlag":"true","name_KestrovaBase64Flag":"true"})",
         "YQ\\"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(decodedValue(c.json, "name"), c.expected) << c.json;
    }
}

TEST(AesValueFlags, EncryptedValuesDecryptWithTheSharedSecret) {
    const std::string secret = "0123456789abcdef0123456789ABCDEF-and-more";
    std::string hex = pageCipherHex(secretKey(secret), "PIN 1234");
    std::string request = R"({"v":")" + hex + R"(","v_KestrovaEncryptFlag":"true","Kestrova_share_secret":")" +
                          secret + R"("})";
    EXPECT_EQ(decodedValue(request, "v"), "PIN 1234");

    // Encryption comes first: a value flagged encrypted and "*" is only decrypted.
    std::string both = R"({"v":")" + pageCipherHex(secretKey(secret), "a*b") +
                       R"(","v_KestrovaFlag":"true","v_KestrovaEncryptFlag":"True","Kestrova_share_secret":")" +
                       secret + R"("})";
    EXPECT_EQ(decodedValue(both, "v"), "a*b");

    // Upper-case hex digits are read as well.
    std::string upper = hex;
    for (char& c : upper) {
        c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    }
    EXPECT_EQ(decodedValue(R"({"v":")" + upper + R"(","v_KestrovaEncryptFlag":"true","Kestrova_share_secret":")" +
                               secret + R"("})",
                           "v"),
              "PIN 1234");
}

// A secret shorter than 32 bytes is completed with zero bytes.
TEST(AesValueFlags, ShortSecretIsZeroPadded) {
    for (const std::string& secret : std::vector<std::string>{"s", "short secret", std::string(31, 'x')}) {
        std::string hex = pageCipherHex(secretKey(secret), "value");
        std::string request = R"({"v":")" + hex + R"(","v_KestrovaEncryptFlag":"true","Kestrova_share_secret":")" +
                              secret + R"("})";
        EXPECT_EQ(decodedValue(request, "v"), "value") << secret;
    }
}

TEST(AesValueFlags, UndecryptableValuesComeBackAsSent) {
    jsontest::ScopedLog log;
    const std::string secret(32, 'k');
    std::string hex = pageCipherHex(secretKey(secret), "value");
    struct Case {
        std::string json;
        std::string expected;
    } cases[] = {
        // No shared secret in the request.
        {R"({"v":")" + hex + R"(","v_KestrovaEncryptFlag":"true"})", hex},
        // The wrong secret: the padding does not check out (or the prefix is missing).
        {R"({"v":"00112233445566778899aabbccddeeff","v_KestrovaEncryptFlag":"true","Kestrova_share_secret":"k"})",
         "00112233445566778899aabbccddeeff"},
        // Not whole blocks, odd digits, no digits, junk.
        {R"({"v":"0011","v_KestrovaEncryptFlag":"true","Kestrova_share_secret":"k"})", "0011"},
        {R"({"v":"abc","v_KestrovaEncryptFlag":"true","Kestrova_share_secret":"k"})", "abc"},
        {R"({"v":"","v_KestrovaEncryptFlag":"true","Kestrova_share_secret":"k"})", ""},
        {R"({"v":"zz!","v_KestrovaEncryptFlag":"true","Kestrova_share_secret":"k"})", "zz!"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(decodedValue(c.json, "v"), c.expected) << c.json;
    }
    EXPECT_NE(log.text().find("[Warning] Error code 65 = 0x41 at "), std::string::npos);
    EXPECT_NE(log.text().find("[Normal] find key: Kestrova_share_secret"), std::string::npos);
}

TEST(AesValueFlags, NullArgumentsGiveACopy) {
    MapPtr map(parseJsonMap(R"({"a":"b"})"));
    ASSERT_TRUE(map);
    EXPECT_EQ(text(decodeValue(nullptr, "a", "raw")), "raw");
    EXPECT_EQ(text(decodeValue(map.get(), nullptr, "raw")), "raw");
    EXPECT_EQ(decodeValue(map.get(), "a", nullptr), nullptr);
}

// ---------------------------------------------------------------------------
// Cipher
// ---------------------------------------------------------------------------

TEST(AesCipher, MatchesTheCbcKnownAnswers) {
    // CBC-AES256 example vectors (NIST SP 800-38A, F.2.5/F.2.6).
    Bytes plain = fromHex("6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
                          "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710");
    std::string expected = "f58c4c04d6e5f1ba779eabfb5f7bfbd69cfc4e967edb808d679f777bc6702c7d"
                           "39f23369a9d9bacfa530e26304231461b2eb05e2c39be9fcda6c19078c6a9d1b";
    Bytes cipher;
    ASSERT_EQ(encryptOnce(KESTROVA_CIPHER_AES256_CBC_NOPAD, kKey, kVector, plain, &cipher), 0);
    EXPECT_EQ(toHex(cipher), expected);
    Bytes back;
    ASSERT_EQ(decryptOnce(KESTROVA_CIPHER_AES256_CBC_NOPAD, kKey, kVector, cipher, &back), 0);
    EXPECT_EQ(back, plain);
}

TEST(AesCipher, PiecewiseUpdatesEqualOneCall) {
    Bytes plain(100);
    for (size_t i = 0; i < plain.size(); ++i) {
        plain[i] = static_cast<unsigned char>(i * 7 + 1);
    }
    Bytes whole;
    ASSERT_EQ(encryptOnce(KESTROVA_CIPHER_AES256_CBC_PKCS7, kKey, kVector, plain, &whole), 0);
    ASSERT_EQ(whole.size(), 112u);
    for (int decrypt = 0; decrypt <= 1; ++decrypt) {
        const Bytes& input = decrypt ? whole : plain;
        const Bytes& expected = decrypt ? plain : whole;
        KestrovaCipherContext ctx;
        ASSERT_EQ(cipherInit(&ctx, KESTROVA_CIPHER_AES256_CBC_PKCS7, decrypt, kKey.data(), kVector.data()), 0);
        Bytes out(input.size() + 16);
        size_t at = 0, used = 0;
        for (size_t piece : {1, 7, 16, 9, 0, 33, 200}) {
            piece = std::min(piece, input.size() - used);
            size_t written = 0;
            ASSERT_EQ(cipherUpdate(&ctx, input.data() + used, piece, out.data() + at, out.size() - at, &written), 0);
            used += piece;
            at += written;
        }
        size_t written = 0;
        ASSERT_EQ(cipherFinal(&ctx, out.data() + at, out.size() - at, &written), 0);
        out.resize(at + written);
        EXPECT_EQ(out, expected) << "decrypt " << decrypt;
    }
}

TEST(AesCipher, ResultCodes) {
    KestrovaCipherContext ctx;
    size_t written = 0;
    unsigned char out[64] = {};
    const unsigned char in[32] = {};
    // 7: context or length argument missing.
    EXPECT_EQ(cipherInit(nullptr, KESTROVA_CIPHER_AES256_CBC_PKCS7, 0, kKey.data(), kVector.data()), 7);
    EXPECT_EQ(cipherInit(&ctx, KESTROVA_CIPHER_AES256_CBC_PKCS7, 0, nullptr, kVector.data()), 7);
    ASSERT_EQ(cipherInit(&ctx, KESTROVA_CIPHER_AES256_CBC_PKCS7, 0, kKey.data(), kVector.data()), 0);
    EXPECT_EQ(cipherUpdate(nullptr, in, 16, out, sizeof out, &written), 7);
    EXPECT_EQ(cipherUpdate(&ctx, in, 16, out, sizeof out, nullptr), 7);
    // 32: input missing while its length is not 0; a null input of length 0 is fine.
    EXPECT_EQ(cipherUpdate(&ctx, nullptr, 5, out, sizeof out, &written), 32);
    EXPECT_EQ(cipherUpdate(&ctx, nullptr, 0, out, sizeof out, &written), 0);
    // 336: the output buffer is too small; nothing is consumed.
    EXPECT_EQ(cipherUpdate(&ctx, in, 32, out, 16, &written), 336);
    EXPECT_EQ(cipherUpdate(&ctx, in, 32, out, 32, &written), 0);
    EXPECT_EQ(written, 32u);
    EXPECT_EQ(cipherFinal(&ctx, out, 15, &written), 336);
    // 145: unsupported mode, and a context already finished (wiped).
    EXPECT_EQ(cipherInit(&ctx, 1234, 0, kKey.data(), kVector.data()), 145);
    EXPECT_EQ(cipherUpdate(&ctx, in, 16, out, sizeof out, &written), 145);
    EXPECT_EQ(cipherFinal(&ctx, out, sizeof out, &written), 145);
    // 33: no padding and a partial block left at the final step.
    ASSERT_EQ(cipherInit(&ctx, KESTROVA_CIPHER_AES256_CBC_NOPAD, 0, kKey.data(), kVector.data()), 0);
    EXPECT_EQ(cipherUpdate(&ctx, in, 20, out, sizeof out, &written), 0);
    EXPECT_EQ(written, 16u);
    EXPECT_EQ(cipherFinal(&ctx, out, sizeof out, &written), 33);
    // 65: decryption final step without one whole buffered block.
    for (size_t length : {0, 15, 17, 31}) {
        ASSERT_EQ(cipherInit(&ctx, KESTROVA_CIPHER_AES256_CBC_PKCS7, 1, kKey.data(), kVector.data()), 0);
        EXPECT_EQ(cipherUpdate(&ctx, in, length, out, sizeof out, &written), 0);
        EXPECT_EQ(cipherFinal(&ctx, out, sizeof out, &written), 65) << length;
    }
    // The context is wiped after every final step.
    KestrovaCipherContext zero;
    memset(&zero, 0, sizeof zero);
    EXPECT_EQ(memcmp(&ctx, &zero, sizeof ctx), 0);
}

TEST(AesCipher, BadPaddingIsRefusedWith64) {
    struct Case {
        const char* lastBlockHex; // the plain last block, encrypted without padding
        int expectedCode;
        size_t expectedLength;
    } cases[] = {
        {"00000000000000000000000000000011", 64, 0},  // last byte 17
        {"000000000000000000000000000000ff", 64, 0},
        {"00000000000000000000000000030203", 64, 0},  // padding bytes differ
        {"10101010101010101010101010101010", 0, 0},   // a whole block of padding
        {"00000000000000000000000000000101", 0, 15},
        {"00000000000000000000000000000000", 0, 16},  // a last byte of 0 removes nothing
        {"00000000000000000000000000000202", 0, 14},
    };
    for (const Case& c : cases) {
        Bytes cipher, plain;
        ASSERT_EQ(encryptOnce(KESTROVA_CIPHER_AES256_CBC_NOPAD, kKey, kVector, fromHex(c.lastBlockHex), &cipher), 0);
        EXPECT_EQ(decryptOnce(KESTROVA_CIPHER_AES256_CBC_PKCS7, kKey, kVector, cipher, &plain), c.expectedCode)
            << c.lastBlockHex;
        if (c.expectedCode == 0) {
            EXPECT_EQ(plain.size(), c.expectedLength) << c.lastBlockHex;
        }
    }
}

TEST(AesValueCipher, FramedLengths) {
    struct Case {
        size_t textLength;
        size_t cipherLength;
    } cases[] = {{0, 16}, {1, 32}, {16, 32}, {17, 48}, {18, 48}, {32, 48}, {33, 64}};
    for (const Case& c : cases) {
        std::string value(c.textLength, 'v');
        size_t length = 99;
        unsigned char* cipher = aesEncryptValue(value.c_str(), &length);
        ASSERT_NE(cipher, nullptr);
        EXPECT_EQ(length, c.cipherLength) << c.textLength;
        EXPECT_EQ(text(aesDecryptValue(cipher, length, aesStoreKey(), aesStoreVector())), value);
        free(cipher);
    }
}

TEST(AesValueCipher, StoreKeyRoundTripsAndOtherKeysFail) {
    unsigned char key[32], vector[32];
    for (int i = 0; i < 32; ++i) {
        key[i] = static_cast<unsigned char>(i);
        vector[i] = static_cast<unsigned char>(255 - i);
    }
    aesSetStoreKey(key, vector);
    EXPECT_EQ(memcmp(aesStoreKey(), key, 32), 0);
    size_t length = 0;
    unsigned char* cipher = aesEncryptValue("stored value \xE2\x9C\x93", &length);
    ASSERT_NE(cipher, nullptr);
    EXPECT_EQ(text(aesDecryptValue(cipher, length, key, vector)), "stored value \xE2\x9C\x93");
    // Encryption with the store vector is plain CBC with the framing.
    Bytes plain;
    ASSERT_EQ(decryptOnce(KESTROVA_CIPHER_AES256_CBC_PKCS7, Bytes(key, key + 32), Bytes(vector, vector + 16),
                          Bytes(cipher, cipher + length), &plain),
              0);
    EXPECT_EQ(std::string(plain.begin(), plain.end()), std::string("KestrovaAESCBCstored value \xE2\x9C\x93", 30) + '\0');
    // A fresh draw changes the key: the old value no longer decrypts to it.
    EXPECT_TRUE(aesDrawStoreKey());
    EXPECT_NE(memcmp(aesStoreKey(), key, 32), 0);
    char* other = aesDecryptValue(cipher, length, aesStoreKey(), aesStoreVector());
    EXPECT_TRUE(other == nullptr || std::string(other) != "stored value \xE2\x9C\x93");
    free(other);
    free(cipher);
}

TEST(AesValueCipher, RefusesBadArgumentsAndLengths) {
    jsontest::ScopedLog log;
    unsigned char block[32] = {};
    size_t length = 5;
    EXPECT_EQ(aesEncryptValue(nullptr, &length), nullptr);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(aesEncryptValue("x", nullptr), nullptr);
    EXPECT_EQ(aesDecryptValue(nullptr, 16, kKey.data(), kVector.data()), nullptr);
    EXPECT_EQ(aesDecryptValue(block, 16, nullptr, kVector.data()), nullptr);
    EXPECT_EQ(aesDecryptValue(block, 16, kKey.data(), nullptr), nullptr);
    EXPECT_EQ(aesDecryptValue(block, 0, kKey.data(), kVector.data()), nullptr);
    EXPECT_EQ(aesDecryptValue(block, 17, kKey.data(), kVector.data()), nullptr);
    EXPECT_EQ(aesDecryptValue(block, size_t(-1), kKey.data(), kVector.data()), nullptr);
    std::string lines = log.text();
    EXPECT_NE(lines.find("Parameter inputIV is null"), std::string::npos);
    EXPECT_NE(lines.find("[Warning] Error code 65 = 0x41 at "), std::string::npos);
}

TEST(AesValueCipher, TextWithoutPrefixComesBackWhole) {
    Bytes plain = {'n', 'o', ' ', 'p', 'r', 'e', 'f', 'i', 'x'};
    Bytes cipher;
    ASSERT_EQ(encryptOnce(KESTROVA_CIPHER_AES256_CBC_PKCS7, kKey, kVector, plain, &cipher), 0);
    EXPECT_EQ(text(aesDecryptValue(cipher.data(), cipher.size(), kKey.data(), kVector.data())), "no prefix");
}

// The vector every page that encrypts values uses: changing it breaks them.
TEST(AesValueCipher, FixedVectorIsTheDocumentedConstant) {
    EXPECT_EQ(toHex(fixedVector()), "3a7c51e9b2046d8f5e91c3a70d6f28b4");
}

// ---------------------------------------------------------------------------
// Interop with the openssl command line
// ---------------------------------------------------------------------------

class AesOpenssl : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* temp = getenv("TMPDIR");
        std::string pattern = std::string(temp != nullptr && *temp != '\0' ? temp : "/tmp") + "/kaesXXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        folder = pattern;
        if (std::system("openssl version >/dev/null 2>&1") != 0) {
            GTEST_SKIP() << "openssl command line not installed";
        }
    }
    void TearDown() override {
        for (const char* name : {"in.bin", "out.bin", "err.txt"}) {
            unlink((folder + "/" + name).c_str());
        }
        rmdir(folder.c_str());
    }
    // Runs openssl enc on bytes; true when it succeeded.
    bool openssl(const char* direction, const Bytes& key, const Bytes& vector, const Bytes& in, Bytes* out) {
        std::ofstream(folder + "/in.bin", std::ios::binary)
            .write(reinterpret_cast<const char*>(in.data()), static_cast<std::streamsize>(in.size()));
        std::string command = "openssl enc -aes-256-cbc " + std::string(direction) + " -K " + toHex(key) + " -iv " +
                              toHex(vector) + " -in " + folder + "/in.bin -out " + folder + "/out.bin 2>" + folder +
                              "/err.txt";
        int status = std::system(command.c_str());
        std::ifstream file(folder + "/out.bin", std::ios::binary);
        std::stringstream data;
        data << file.rdbuf();
        std::string bytes = data.str();
        out->assign(bytes.begin(), bytes.end());
        return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    std::string folder;
};

TEST_F(AesOpenssl, OurCipherTextDecryptsToTheFramedText) {
    unsigned char key[32], vector[32];
    for (int i = 0; i < 32; ++i) {
        key[i] = static_cast<unsigned char>(0xA0 ^ (i * 13));
        vector[i] = static_cast<unsigned char>(i * 31);
    }
    aesSetStoreKey(key, vector);
    for (const std::string& value :
         std::vector<std::string>{"", "hello interop", std::string(17, 'x'), std::string(200, 'y')}) {
        size_t length = 0;
        unsigned char* cipher = aesEncryptValue(value.c_str(), &length);
        ASSERT_NE(cipher, nullptr);
        Bytes plain;
        ASSERT_TRUE(openssl("-d", Bytes(key, key + 32), Bytes(vector, vector + 16), Bytes(cipher, cipher + length),
                            &plain));
        free(cipher);
        std::string framed = KESTROVA_AES_PREFIX + value;
        Bytes expected(framed.begin(), framed.end());
        expected.push_back(0);
        EXPECT_EQ(plain, expected) << value;
    }
}

TEST_F(AesOpenssl, OpensslCipherTextDecryptsHere) {
    for (const std::string& secret : std::vector<std::string>{"0123456789abcdef0123456789abcdef", "short"}) {
        for (const std::string& value : std::vector<std::string>{"from openssl", "", "exactly-16-bytes"}) {
            std::string framed = KESTROVA_AES_PREFIX + value;
            Bytes plain(framed.begin(), framed.end());
            plain.push_back(0);
            Bytes cipher;
            ASSERT_TRUE(openssl("-e", secretKey(secret), fixedVector(), plain, &cipher));
            // Directly, and as an encrypted request value a page sends.
            EXPECT_EQ(text(aesDecryptValue(cipher.data(), cipher.size(), secretKey(secret).data(),
                                           fixedVector().data())),
                      value);
            std::string request = R"({"sOptPIN":")" + toHex(cipher) +
                                  R"(","sOptPIN_KestrovaEncryptFlag":"true","Kestrova_share_secret":")" + secret +
                                  R"("})";
            EXPECT_EQ(decodedValue(request, "sOptPIN"), value) << secret << " / " << value;
        }
    }
}

// ---------------------------------------------------------------------------
// Base64
// ---------------------------------------------------------------------------

TEST(AesBase64, EncodesTheStandardAlphabet) {
    struct Case {
        const char* in;
        const char* out;
    } cases[] = {{"0", "MA=="}, {"", ""}, {"abc", "YWJj"}, {"ab", "YWI="}, {"a", "YQ=="},
                 {"\xff\xfe", "//4="}, {"\xfb\xff", "+/8="}, {"hello world", "aGVsbG8gd29ybGQ="}};
    for (const Case& c : cases) {
        EXPECT_EQ(text(encodeValueBase64(c.in)), c.out) << c.in;
    }
    EXPECT_EQ(encodeValueBase64(nullptr), nullptr);
    char small[4];
    EXPECT_EQ(base64Encode(reinterpret_cast<const unsigned char*>("abc"), 3, small, sizeof small), 0u);
    char exact[5];
    EXPECT_EQ(base64Encode(reinterpret_cast<const unsigned char*>("abc"), 3, exact, sizeof exact), 5u);
    EXPECT_STREQ(exact, "YWJj");
}

TEST(AesBase64, DecodesUpToTheFirstCharacterOutsideTheAlphabet) {
    struct Case {
        const char* in;
        std::string out;
    } cases[] = {
        {"YWJj", "abc"},   {"YWJ", "ab"},          {"YQ==", "a"},        {"Y", ""},
        {"YW Jj", "a"},    {"", ""},               {"YWJjZA", "abcd"},   {"YWJjZGVm", "abcdef"},
        {"YWJjZ", "abc"},  {"YWJj\nZGVm", "abc"},  {"=YWJj", ""},        {"//4=", "\xff\xfe"},
        {"-_", ""},        {"YWJj\x80", "abc"},
    };
    for (const Case& c : cases) {
        unsigned char out[32];
        memset(out, 0xAA, sizeof out);
        size_t n = base64Decode(out, sizeof out, c.in);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(out), n), c.out) << c.in;
        EXPECT_EQ(out[n], 0) << c.in;
    }
    // Too small an output is refused untouched rather than overrun.
    unsigned char tiny[4] = {1, 2, 3, 4};
    EXPECT_EQ(base64Decode(tiny, sizeof tiny, "YWJjZGVm"), 0u);
    EXPECT_EQ(tiny[0], 1);
    EXPECT_EQ(base64Decode(nullptr, 10, "YQ"), 0u);
}

TEST(AesBase64, UrlEscapedTextsDecode) {
    struct Case {
        const char* in;
        std::string out;
    } cases[] = {
        {"aGVsbG8%3D", "hello"},
        {"%2B%2F8%3D", "\xfb\xff"},
        {"%2b%2f", ""}, // only upper-case escapes are undone
        {"YWJj%3D%3D", "abc"},
        {"eyJGdW5jdGlvbk5hbWUiOiJLZXN0cm92YUVjaG8ifQ%3D%3D", "{\"FunctionName\":\"KestrovaEcho\"}"},
    };
    for (const Case& c : cases) {
        size_t length = 0;
        char* decoded = decodeUrlBase64(c.in, &length);
        ASSERT_NE(decoded, nullptr) << c.in;
        EXPECT_EQ(std::string(decoded, length), c.out) << c.in;
        free(decoded);
    }
    EXPECT_EQ(decodeUrlBase64(nullptr), nullptr);
    // Decoded bytes after a zero byte are kept in the buffer but not seen as text.
    size_t length = 0;
    char* withZero = decodeUrlBase64("YQBi", &length);
    EXPECT_EQ(length, 3u);
    EXPECT_STREQ(withZero, "a");
    free(withZero);
}

TEST(AesBase64, RoundTripsEveryLength) {
    for (size_t length = 0; length < 300; ++length) {
        Bytes bytes(length);
        for (size_t i = 0; i < length; ++i) {
            bytes[i] = static_cast<unsigned char>((i * 131 + length) & 0xFF);
        }
        std::vector<char> encoded(base64EncodedSize(length));
        ASSERT_EQ(base64Encode(bytes.data(), length, encoded.data(), encoded.size()), encoded.size());
        Bytes decoded(base64DecodedSize(encoded.data()));
        ASSERT_EQ(base64Decode(decoded.data(), decoded.size(), encoded.data()), length);
        decoded.resize(length);
        EXPECT_EQ(decoded, bytes) << length;
    }
}
