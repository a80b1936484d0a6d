// The white-box slot contract and the stored TLS credentials: the choice of
// pair by OS flags, the private key decrypted in memory and matching its
// certificate, and the certificate properties a browser relies on.

#include <gnutls/gnutls.h>
#include <gnutls/x509.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "common/runtime/OSInfo.h"
#include "service/Key.h"
#include "service/QXWhiteBoxUtilCore.h"

namespace {

struct FreeText {
    void operator()(char* text) const {
        if (text != nullptr) {
            explicit_bzero(text, strlen(text));
            free(text);
        }
    }
};
using Text = std::unique_ptr<char, FreeText>;

// A 9 x 9 table held as row pointers, as the service hands it over.
struct Table {
    int16_t values[9][9];
    int16_t* rows[9];
    Table() {
        for (int r = 0; r < 9; ++r) {
            for (int c = 0; c < 9; ++c) {
                values[r][c] = static_cast<int16_t>(r * 1000 - c * 77 + 5);
            }
            rows[r] = values[r];
        }
    }
};

std::string whiteBox(Table& table, int32_t seed) {
    Text text(getQXWhiteboxResult(table.rows, 9, seed));
    return text ? std::string(text.get()) : std::string("(null)");
}

// ---------------------------------------------------------------------------
// White-box key utility
// ---------------------------------------------------------------------------

TEST(WhiteBox, GivesSixtyFourHexDigitsDependingOnEveryInput) {
    Table table;
    const std::string first = whiteBox(table, 12345);
    EXPECT_TRUE(std::regex_match(first, std::regex("[0-9A-F]{64}"))) << first;
    EXPECT_EQ(first, whiteBox(table, 12345)) << "not deterministic";
    EXPECT_NE(first, whiteBox(table, 12346)) << "seed ignored";

    // Every cell counts, the last one included.
    for (auto [r, c] : std::vector<std::pair<int, int>>{{0, 0}, {4, 7}, {8, 8}}) {
        Table changed;
        changed.values[r][c] ^= 1;
        EXPECT_NE(first, whiteBox(changed, 12345)) << "cell " << r << "," << c << " ignored";
    }
}

TEST(WhiteBox, RefusesBadTables) {
    Table table;
    EXPECT_EQ(nullptr, getQXWhiteboxResult(nullptr, 9, 1));
    EXPECT_EQ(nullptr, getQXWhiteboxResult(table.rows, 0, 1));
    EXPECT_EQ(nullptr, getQXWhiteboxResult(table.rows, -9, 1));
    EXPECT_EQ(nullptr, getQXWhiteboxResult(table.rows, kWhiteBoxMaxSize + 1, 1));
    table.rows[5] = nullptr;
    EXPECT_EQ(nullptr, getQXWhiteboxResult(table.rows, 9, 1));
    // A smaller square out of the same rows is fine.
    Text small(getQXWhiteboxResult(table.rows, 5, 1));
    EXPECT_NE(nullptr, small);
}

TEST(WhiteBox, FinalOverwritesUpToTheTerminatorAndNullsTheSlot) {
    const char original[] = "0123456789ABCDEF0123456789ABCDEF";
    const size_t length = sizeof original - 1;
    // The bytes after the terminator belong to somebody else.
    char* block = static_cast<char*>(malloc(length + 1 + 4));
    ASSERT_NE(nullptr, block);
    memcpy(block, original, length + 1);
    memcpy(block + length + 1, "KEEP", 4);

    char* slot = block;
    QXWhiteBoxResultFinal(&slot);
    EXPECT_EQ(nullptr, slot);
    EXPECT_NE(0, memcmp(block, original, length)) << "text not overwritten";
    const char zeros[sizeof original] = {};
    EXPECT_NE(0, memcmp(block, zeros, length)) << "zeroed, not overwritten with random bytes";
    EXPECT_EQ('\0', block[length]);
    EXPECT_EQ(0, memcmp(block + length + 1, "KEEP", 4));
    free(block); // still ours: a second free inside Final would trip the sanitizer
}

TEST(WhiteBox, FinalWarnsOnNullSlots) {
    const std::regex warning(
        "\\[Warning\\] Parameter (\\*?inputPointer) is null at QXWhiteBoxUtilCore [0-9]+\n");
    std::smatch match;

    testing::internal::CaptureStdout();
    QXWhiteBoxResultFinal(nullptr);
    std::string out = testing::internal::GetCapturedStdout();
    ASSERT_TRUE(std::regex_match(out, match, warning)) << out;
    EXPECT_EQ("inputPointer", match[1]);

    char* empty = nullptr;
    testing::internal::CaptureStdout();
    QXWhiteBoxResultFinal(&empty);
    out = testing::internal::GetCapturedStdout();
    ASSERT_TRUE(std::regex_match(out, match, warning)) << out;
    EXPECT_EQ("*inputPointer", match[1]);
    EXPECT_EQ(nullptr, empty);
}

// ---------------------------------------------------------------------------
// Choice of pair
// ---------------------------------------------------------------------------

TEST(ServerPair, RsaOnlyForUnknownSystemsAndWindowsXP) {
    struct Case {
        uint32_t flags;
        bool rsa;
    } cases[] = {
        {0, true},
        {kOsWindowsXP | kOsArch32, true},
        {kOsWindowsXP, true},
        {kOsWindowsXPx64 | kOsArch64, false},
        {kOsWindowsServer2003 | kOsArch32, false},
        {kOsWindowsVista | kOsArch32, false},
        {kOsWindows10 | kOsArch32, false},
        {kOsWindows11 | kOsArch64, false},
        {kOsWindowsServer2016 | kOsArch64, false},
        {kOsLinux | kOsArch64, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.rsa, serverPairIsRSA(c.flags)) << std::hex << c.flags;
    }
    EXPECT_FALSE(serverPairIsRSA(identifyOS())) << "Linux is identified: EC";
}

// ---------------------------------------------------------------------------
// Stored credentials
// ---------------------------------------------------------------------------

struct CrtFree {
    void operator()(gnutls_x509_crt_t crt) const { gnutls_x509_crt_deinit(crt); }
};
struct KeyFree {
    void operator()(gnutls_x509_privkey_t key) const { gnutls_x509_privkey_deinit(key); }
};
using Crt = std::unique_ptr<std::remove_pointer_t<gnutls_x509_crt_t>, CrtFree>;
using Key = std::unique_ptr<std::remove_pointer_t<gnutls_x509_privkey_t>, KeyFree>;

Crt importCertificate(const char* pem) {
    gnutls_x509_crt_t crt = nullptr;
    gnutls_x509_crt_init(&crt);
    gnutls_datum_t data = {reinterpret_cast<unsigned char*>(const_cast<char*>(pem)),
                           static_cast<unsigned>(strlen(pem))};
    if (gnutls_x509_crt_import(crt, &data, GNUTLS_X509_FMT_PEM) < 0) {
        gnutls_x509_crt_deinit(crt);
        return nullptr;
    }
    return Crt(crt);
}

Key importKey(const char* pem) {
    gnutls_x509_privkey_t key = nullptr;
    gnutls_x509_privkey_init(&key);
    gnutls_datum_t data = {reinterpret_cast<unsigned char*>(const_cast<char*>(pem)),
                           static_cast<unsigned>(strlen(pem))};
    if (gnutls_x509_privkey_import(key, &data, GNUTLS_X509_FMT_PEM) < 0) {
        gnutls_x509_privkey_deinit(key);
        return nullptr;
    }
    return Key(key);
}

std::vector<unsigned char> certificateKeyId(gnutls_x509_crt_t crt) {
    std::vector<unsigned char> id(64);
    size_t size = id.size();
    if (gnutls_x509_crt_get_key_id(crt, GNUTLS_KEYID_USE_SHA256, id.data(), &size) < 0) {
        return {};
    }
    id.resize(size);
    return id;
}

std::vector<unsigned char> privateKeyId(gnutls_x509_privkey_t key) {
    std::vector<unsigned char> id(64);
    size_t size = id.size();
    if (gnutls_x509_privkey_get_key_id(key, GNUTLS_KEYID_USE_SHA256, id.data(), &size) < 0) {
        return {};
    }
    id.resize(size);
    return id;
}

struct PairCase {
    const char* name;
    uint32_t flags;
    gnutls_pk_algorithm_t algorithm;
    unsigned bits;
    gnutls_sign_algorithm_t signature;
    unsigned keyUsage;
};

void PrintTo(const PairCase& pair, std::ostream* out) {
    *out << pair.name;
}

class StoredPair : public testing::TestWithParam<PairCase> {};

TEST_P(StoredPair, PrivateKeyDecryptsAndMatchesTheCertificate) {
    const PairCase& pair = GetParam();
    Text certificate(getServerCertificateFor(pair.flags));
    ASSERT_NE(nullptr, certificate);
    char* keyText = getServerPrivateKeyFor(pair.flags);
    ASSERT_NE(nullptr, keyText) << "the stored key did not decrypt";
    const std::string keyCopy = keyText;
    Text keyOwner(keyText);

    // Handed to the TLS library as is: the whole PEM text, framing removed.
    EXPECT_EQ(0u, keyCopy.rfind("-----BEGIN ", 0)) << keyCopy.substr(0, 20);
    EXPECT_EQ(std::string::npos, keyCopy.find("KestrovaAESCBC"));
    EXPECT_EQ('\n', keyCopy.back());

    Crt crt = importCertificate(certificate.get());
    Key key = importKey(keyText);
    ASSERT_NE(nullptr, crt);
    ASSERT_NE(nullptr, key);
    EXPECT_EQ(certificateKeyId(crt.get()), privateKeyId(key.get()));
    EXPECT_FALSE(certificateKeyId(crt.get()).empty());

    // What the listener does with the pair: GnuTLS checks that they belong together.
    gnutls_certificate_credentials_t credentials = nullptr;
    ASSERT_EQ(0, gnutls_certificate_allocate_credentials(&credentials));
    gnutls_datum_t certData = {reinterpret_cast<unsigned char*>(certificate.get()),
                               static_cast<unsigned>(strlen(certificate.get()))};
    gnutls_datum_t keyData = {reinterpret_cast<unsigned char*>(keyText),
                              static_cast<unsigned>(strlen(keyText))};
    EXPECT_GE(
        gnutls_certificate_set_x509_key_mem(credentials, &certData, &keyData, GNUTLS_X509_FMT_PEM),
        0);
    gnutls_certificate_free_credentials(credentials);

    // The caller's end of the key's life.
    char* slot = keyText;
    QXWhiteBoxResultFinal(&slot);
    EXPECT_EQ(nullptr, slot);
    EXPECT_NE(keyCopy.substr(0, 16), std::string(keyText, strnlen(keyText, 16)));
}

TEST_P(StoredPair, CertificateHasTheServerProperties) {
    const PairCase& pair = GetParam();
    Text certificate(getServerCertificateFor(pair.flags));
    ASSERT_NE(nullptr, certificate);
    EXPECT_EQ(0, strncmp(certificate.get(), "\n-----BEGIN CERTIFICATE-----\n", 29));
    const std::string pem = certificate.get();
    EXPECT_EQ(pem.find("-----BEGIN"), pem.rfind("-----BEGIN")) << "one block only";

    Crt crt = importCertificate(certificate.get());
    ASSERT_NE(nullptr, crt);
    EXPECT_EQ(3, gnutls_x509_crt_get_version(crt.get()));
    unsigned bits = 0;
    EXPECT_EQ(static_cast<int>(pair.algorithm), gnutls_x509_crt_get_pk_algorithm(crt.get(), &bits));
    EXPECT_EQ(pair.bits, bits);
    EXPECT_EQ(static_cast<int>(pair.signature), gnutls_x509_crt_get_signature_algorithm(crt.get()));

    char cn[128] = {};
    size_t cnSize = sizeof cn;
    ASSERT_EQ(0, gnutls_x509_crt_get_dn_by_oid(crt.get(), GNUTLS_OID_X520_COMMON_NAME, 0, 0, cn,
                                               &cnSize));
    EXPECT_STREQ("localhost", cn);

    // Alternative names: exactly DNS localhost and IP 127.0.0.1.
    std::vector<std::string> names;
    for (unsigned i = 0;; ++i) {
        unsigned char value[256];
        size_t size = sizeof value;
        int type = gnutls_x509_crt_get_subject_alt_name(crt.get(), i, value, &size, nullptr);
        if (type == GNUTLS_E_REQUESTED_DATA_NOT_AVAILABLE) {
            break;
        }
        ASSERT_GE(type, 0);
        if (type == GNUTLS_SAN_DNSNAME) {
            names.push_back("DNS:" + std::string(reinterpret_cast<char*>(value), size));
        } else if (type == GNUTLS_SAN_IPADDRESS) {
            std::string ip = "IP:";
            for (size_t b = 0; b < size; ++b) {
                ip += std::to_string(value[b]) + (b + 1 < size ? "." : "");
            }
            names.push_back(ip);
        } else {
            names.push_back("other");
        }
    }
    EXPECT_EQ((std::vector<std::string>{"DNS:localhost", "IP:127.0.0.1"}), names);

    unsigned usage = 0;
    unsigned critical = 0;
    ASSERT_GE(gnutls_x509_crt_get_key_usage(crt.get(), &usage, &critical), 0);
    EXPECT_EQ(pair.keyUsage, usage);
    std::vector<std::string> purposes;
    for (unsigned i = 0;; ++i) {
        char oid[128];
        size_t size = sizeof oid;
        if (gnutls_x509_crt_get_key_purpose_oid(crt.get(), i, oid, &size, nullptr) < 0) {
            break;
        }
        purposes.emplace_back(oid);
    }
    EXPECT_EQ((std::vector<std::string>{GNUTLS_KP_TLS_WWW_SERVER, GNUTLS_KP_TLS_WWW_CLIENT}),
              purposes);
    EXPECT_EQ(0, gnutls_x509_crt_get_basic_constraints(crt.get(), &critical, nullptr, nullptr))
        << "a CA";
}

INSTANTIATE_TEST_SUITE_P(
    Pairs, StoredPair,
    testing::Values(PairCase{"EC", kOsLinux | kOsArch64, GNUTLS_PK_ECDSA, 384,
                             GNUTLS_SIGN_ECDSA_SHA256, GNUTLS_KEY_DIGITAL_SIGNATURE},
                    PairCase{"RSA", 0, GNUTLS_PK_RSA, 4096, GNUTLS_SIGN_RSA_SHA256,
                             GNUTLS_KEY_DIGITAL_SIGNATURE | GNUTLS_KEY_KEY_ENCIPHERMENT}),
    [](const testing::TestParamInfo<PairCase>& info) { return std::string(info.param.name); });

TEST(StoredPair, DefaultChoiceFollowsThisSystem) {
    Text chosen(getServerCertificate());
    Text expected(getServerCertificateFor(identifyOS()));
    ASSERT_NE(nullptr, chosen);
    ASSERT_NE(nullptr, expected);
    EXPECT_STREQ(expected.get(), chosen.get());
    Text ec(getServerCertificateFor(kOsLinux | kOsArch64));
    EXPECT_STREQ(ec.get(), chosen.get());

    char* key = getServerPrivateKey();
    ASSERT_NE(nullptr, key);
    Crt crt = importCertificate(chosen.get());
    Key parsed = importKey(key);
    ASSERT_NE(nullptr, parsed);
    EXPECT_EQ(certificateKeyId(crt.get()), privateKeyId(parsed.get()));
    char* slot = key;
    QXWhiteBoxResultFinal(&slot);
    free(key);
}

} // namespace
