// Credentials generator, run once per build folder by the build.
//
// It creates the service's own root authority (one subject, an ECDSA P-384 and
// an RSA-4096 certificate), issues the two "localhost" server certificates
// under it, encrypts the server private keys under the white-box key, and
// writes a C++ source holding the certificates and the cipher texts plus the
// PEM files of the two root certificates (for the worker's import and for the
// tests). The root private keys live only in this process's memory: once the
// server certificates are signed nobody can issue under this root again, so a
// leaked build folder cannot be turned into a certificate for another name.
// The root also carries name constraints, so even a stolen root key could only
// vouch for the loopback names.
//
//   gencreds --source FILE.cpp --roots DIR
//   gencreds --constraint-set DIR
//
// The second form is for the tests: a throw-away root with the same
// constraints issues a set of certificates, some inside the permitted names
// and some outside, and only certificates are written.

#include <gnutls/abstract.h>
#include <gnutls/crypto.h>
#include <gnutls/gnutls.h>
#include <gnutls/x509.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "common/json/AES.h"
#include "service/QXWhiteBoxUtilCore.h"
#include "tools/gencreds/CredentialData.h"

namespace {

// ---------------------------------------------------------------------------
// Constants
// ---------------------------------------------------------------------------

constexpr const char* kRootSubject = "CN=ARDEQKestrova Local Root,O=ARDEQKestrova";
constexpr const char* kServerSubject = "CN=localhost";
constexpr const char* kRootFileEC = "ARDEQKestrovaRootEC.pem";
constexpr const char* kRootFileRSA = "ARDEQKestrovaRootRSA.pem";

constexpr time_t kDay = 24 * 60 * 60;
// Server certificates stay within the longest lifetime that every platform
// still accepts for a TLS server certificate.
constexpr time_t kServerValidityDays = 825;
constexpr time_t kRootValidityDays = 3652; // ten years

constexpr unsigned kRsaBits = 4096;

// ---------------------------------------------------------------------------
// GnuTLS handles
// ---------------------------------------------------------------------------

struct PrivkeyFree {
    void operator()(gnutls_x509_privkey_t key) const { gnutls_x509_privkey_deinit(key); }
};
struct CrtFree {
    void operator()(gnutls_x509_crt_t crt) const { gnutls_x509_crt_deinit(crt); }
};
struct ConstraintsFree {
    void operator()(gnutls_x509_name_constraints_t nc) const {
        gnutls_x509_name_constraints_deinit(nc);
    }
};
using Privkey = std::unique_ptr<std::remove_pointer_t<gnutls_x509_privkey_t>, PrivkeyFree>;
using Crt = std::unique_ptr<std::remove_pointer_t<gnutls_x509_crt_t>, CrtFree>;
using Constraints =
    std::unique_ptr<std::remove_pointer_t<gnutls_x509_name_constraints_t>, ConstraintsFree>;

// A byte string that is wiped when it goes away: it holds key text.
struct SecretText {
    std::string text;
    SecretText() = default;
    SecretText(const SecretText&) = delete;
    SecretText& operator=(const SecretText&) = delete;
    ~SecretText() { wipe(); }
    void wipe() {
        if (!text.empty()) {
            gnutls_memset(text.data(), 0, text.size());
        }
        text.clear();
    }
};

bool check(int rc, const char* what) {
    if (rc < 0) {
        fprintf(stderr, "gencreds: %s: %s\n", what, gnutls_strerror(rc));
        return false;
    }
    return true;
}

bool randomFill(void* buffer, size_t length) {
    return check(gnutls_rnd(GNUTLS_RND_KEY, buffer, length), "random bytes");
}

// ---------------------------------------------------------------------------
// Keys and certificates
// ---------------------------------------------------------------------------

enum class KeyKind { EC, RSA };

Privkey generateKey(KeyKind kind) {
    gnutls_x509_privkey_t raw = nullptr;
    if (!check(gnutls_x509_privkey_init(&raw), "key init")) {
        return nullptr;
    }
    Privkey key(raw);
    int rc = kind == KeyKind::EC
                 ? gnutls_x509_privkey_generate(raw, GNUTLS_PK_ECDSA,
                                                GNUTLS_CURVE_TO_BITS(GNUTLS_ECC_CURVE_SECP384R1), 0)
                 : gnutls_x509_privkey_generate(raw, GNUTLS_PK_RSA, kRsaBits, 0);
    if (!check(rc, kind == KeyKind::EC ? "P-384 key generation" : "RSA-4096 key generation")) {
        return nullptr;
    }
    return key;
}

bool keyId(gnutls_x509_privkey_t key, std::vector<unsigned char>& outId) {
    outId.assign(64, 0);
    size_t size = outId.size();
    if (!check(gnutls_x509_privkey_get_key_id(key, GNUTLS_KEYID_USE_SHA1, outId.data(), &size),
               "key id")) {
        return false;
    }
    outId.resize(size);
    return true;
}

struct Validity {
    time_t notBefore;
    time_t notAfter;
};

// Starts at the beginning of the previous UTC day, so that a machine whose
// clock is somewhat behind the build machine's still accepts the certificate.
time_t validityStart() {
    time_t now = time(nullptr);
    return now - now % kDay - kDay;
}

// Fields common to every certificate: version, a random positive serial,
// subject, validity and the public key with its identifier.
bool setCommonFields(gnutls_x509_crt_t crt, const char* subject, gnutls_x509_privkey_t key,
                     const Validity& validity) {
    std::array<unsigned char, 16> serial{};
    if (!randomFill(serial.data(), serial.size())) {
        return false;
    }
    serial[0] = static_cast<unsigned char>((serial[0] & 0x7F) | 0x40); // positive, full length

    const char* errorAt = nullptr;
    std::vector<unsigned char> id;
    return check(gnutls_x509_crt_set_version(crt, 3), "version") &&
           check(gnutls_x509_crt_set_serial(crt, serial.data(), serial.size()), "serial") &&
           check(gnutls_x509_crt_set_dn(crt, subject, &errorAt), "subject") &&
           check(gnutls_x509_crt_set_activation_time(crt, validity.notBefore), "activation time") &&
           check(gnutls_x509_crt_set_expiration_time(crt, validity.notAfter), "expiration time") &&
           check(gnutls_x509_crt_set_key(crt, key), "public key") && keyId(key, id) &&
           check(gnutls_x509_crt_set_subject_key_id(crt, id.data(), id.size()), "subject key id");
}

bool addIpConstraint(gnutls_x509_name_constraints_t nc, const unsigned char* addressAndMask,
                     unsigned length) {
    gnutls_datum_t name = {const_cast<unsigned char*>(addressAndMask), length};
    return check(gnutls_x509_name_constraints_add_permitted(nc, GNUTLS_SAN_IPADDRESS, &name),
                 "IP name constraint");
}

// Only the loopback names may ever be vouched for by this root.
bool setLoopbackConstraints(gnutls_x509_crt_t crt) {
    gnutls_x509_name_constraints_t raw = nullptr;
    if (!check(gnutls_x509_name_constraints_init(&raw), "name constraints init")) {
        return false;
    }
    Constraints nc(raw);
    static const char kLocalhost[] = "localhost";
    gnutls_datum_t dns = {reinterpret_cast<unsigned char*>(const_cast<char*>(kLocalhost)),
                          sizeof kLocalhost - 1};
    static const unsigned char kIpv4[8] = {127, 0, 0, 1, 255, 255, 255, 255};
    unsigned char ipv6[32] = {};
    ipv6[15] = 1;
    memset(ipv6 + 16, 0xFF, 16);
    return check(gnutls_x509_name_constraints_add_permitted(raw, GNUTLS_SAN_DNSNAME, &dns),
                 "DNS name constraint") &&
           addIpConstraint(raw, kIpv4, sizeof kIpv4) && addIpConstraint(raw, ipv6, sizeof ipv6) &&
           check(gnutls_x509_crt_set_name_constraints(crt, raw, 1), "name constraints");
}

Crt makeRoot(gnutls_x509_privkey_t key, const Validity& validity) {
    gnutls_x509_crt_t raw = nullptr;
    if (!check(gnutls_x509_crt_init(&raw), "certificate init")) {
        return nullptr;
    }
    Crt crt(raw);
    bool ok =
        setCommonFields(raw, kRootSubject, key, validity) &&
        // Path length 0: the root signs end-entity certificates only.
        check(gnutls_x509_crt_set_basic_constraints(raw, 1, 0), "basic constraints") &&
        check(gnutls_x509_crt_set_key_usage(raw, GNUTLS_KEY_KEY_CERT_SIGN | GNUTLS_KEY_CRL_SIGN),
              "key usage") &&
        setLoopbackConstraints(raw) &&
        check(gnutls_x509_crt_sign2(raw, raw, key, GNUTLS_DIG_SHA256, 0), "root signature");
    if (!ok) {
        crt.reset();
    }
    return crt;
}

// The names a server certificate carries.
struct ServerNames {
    std::vector<std::string> dns;
    std::vector<std::vector<unsigned char>> ips; // 4 or 16 bytes each
};

ServerNames loopbackNames() {
    return ServerNames{{"localhost"}, {{127, 0, 0, 1}}};
}

Crt issueServer(KeyKind kind, gnutls_x509_privkey_t key, const char* subject,
                const ServerNames& names, gnutls_x509_crt_t issuer, gnutls_x509_privkey_t issuerKey,
                const Validity& validity) {
    gnutls_x509_crt_t raw = nullptr;
    if (!check(gnutls_x509_crt_init(&raw), "certificate init")) {
        return nullptr;
    }
    Crt crt(raw);
    if (!setCommonFields(raw, subject, key, validity)) {
        return nullptr;
    }
    unsigned flag = GNUTLS_FSAN_SET;
    for (const std::string& dns : names.dns) {
        if (!check(gnutls_x509_crt_set_subject_alt_name(raw, GNUTLS_SAN_DNSNAME, dns.data(),
                                                        static_cast<unsigned>(dns.size()), flag),
                   "DNS alternative name")) {
            return nullptr;
        }
        flag = GNUTLS_FSAN_APPEND;
    }
    for (const std::vector<unsigned char>& ip : names.ips) {
        if (!check(gnutls_x509_crt_set_subject_alt_name(raw, GNUTLS_SAN_IPADDRESS, ip.data(),
                                                        static_cast<unsigned>(ip.size()), flag),
                   "IP alternative name")) {
            return nullptr;
        }
        flag = GNUTLS_FSAN_APPEND;
    }
    unsigned usage = GNUTLS_KEY_DIGITAL_SIGNATURE;
    if (kind == KeyKind::RSA) {
        usage |= GNUTLS_KEY_KEY_ENCIPHERMENT;
    }
    std::vector<unsigned char> issuerId;
    bool ok =
        check(gnutls_x509_crt_set_basic_constraints(raw, 0, -1), "basic constraints") &&
        check(gnutls_x509_crt_set_key_usage(raw, usage), "key usage") &&
        check(gnutls_x509_crt_set_key_purpose_oid(raw, GNUTLS_KP_TLS_WWW_SERVER, 0),
              "server purpose") &&
        check(gnutls_x509_crt_set_key_purpose_oid(raw, GNUTLS_KP_TLS_WWW_CLIENT, 0),
              "client purpose") &&
        keyId(issuerKey, issuerId) &&
        check(gnutls_x509_crt_set_authority_key_id(raw, issuerId.data(), issuerId.size()),
              "authority key id") &&
        check(gnutls_x509_crt_sign2(raw, issuer, issuerKey, GNUTLS_DIG_SHA256, 0), "signature");
    if (!ok) {
        crt.reset();
    }
    return crt;
}

bool exportCertificate(gnutls_x509_crt_t crt, std::string& outPem) {
    gnutls_datum_t out = {nullptr, 0};
    if (!check(gnutls_x509_crt_export2(crt, GNUTLS_X509_FMT_PEM, &out), "certificate export")) {
        return false;
    }
    outPem.assign(reinterpret_cast<const char*>(out.data), out.size);
    gnutls_free(out.data);
    return true;
}

bool exportKey(gnutls_x509_privkey_t key, SecretText& outPem) {
    gnutls_datum_t out = {nullptr, 0};
    if (!check(gnutls_x509_privkey_export2(key, GNUTLS_X509_FMT_PEM, &out), "key export")) {
        return false;
    }
    outPem.text.assign(reinterpret_cast<const char*>(out.data), out.size);
    gnutls_memset(out.data, 0, out.size);
    gnutls_free(out.data);
    return true;
}

// ---------------------------------------------------------------------------
// Files
// ---------------------------------------------------------------------------

// Written beside and renamed, so that an interrupted run never leaves a
// half-written output that the build would take as finished.
bool writeFile(const std::string& path, const std::string& content) {
    std::string temporary = path + ".part";
    FILE* file = fopen(temporary.c_str(), "wb");
    if (file == nullptr) {
        fprintf(stderr, "gencreds: cannot write %s: %s\n", temporary.c_str(), strerror(errno));
        return false;
    }
    bool ok = fwrite(content.data(), 1, content.size(), file) == content.size();
    ok = fclose(file) == 0 && ok;
    if (!ok || rename(temporary.c_str(), path.c_str()) != 0) {
        fprintf(stderr, "gencreds: cannot write %s\n", path.c_str());
        remove(temporary.c_str());
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// Encryption of the server keys
// ---------------------------------------------------------------------------

struct KeyProtection {
    int16_t table[kStoredWhiteBoxSize][kStoredWhiteBoxSize];
    int32_t seed;
    unsigned char key[KESTROVA_AES_KEY_LENGTH];
    unsigned char vector[kStoredKeyVectorLength];
};

void wipeProtection(KeyProtection& protection) {
    gnutls_memset(&protection, 0, sizeof protection);
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Draws the table, seed and vector and asks the white-box utility for the key,
// exactly as the service will at start-up.
bool makeProtection(KeyProtection& protection) {
    if (!randomFill(protection.table, sizeof protection.table) ||
        !randomFill(&protection.seed, sizeof protection.seed) ||
        !randomFill(protection.vector, sizeof protection.vector)) {
        return false;
    }
    int16_t* rows[kStoredWhiteBoxSize];
    for (int row = 0; row < kStoredWhiteBoxSize; ++row) {
        rows[row] = protection.table[row];
    }
    char* hexText = getQXWhiteboxResult(rows, kStoredWhiteBoxSize, protection.seed);
    if (hexText == nullptr || strlen(hexText) != 2 * KESTROVA_AES_KEY_LENGTH) {
        fprintf(stderr, "gencreds: the white-box utility gave no 32-byte key\n");
        free(hexText);
        return false;
    }
    bool ok = true;
    for (size_t i = 0; i < KESTROVA_AES_KEY_LENGTH; ++i) {
        int high = hexDigit(hexText[2 * i]);
        int low = hexDigit(hexText[2 * i + 1]);
        ok = ok && high >= 0 && low >= 0;
        protection.key[i] = static_cast<unsigned char>((high << 4) | (low & 0x0F));
    }
    char* slot = hexText;
    QXWhiteBoxResultFinal(&slot);
    free(hexText);
    if (!ok) {
        fprintf(stderr, "gencreds: the white-box key is not hexadecimal\n");
    }
    return ok;
}

// Standard AES-256-CBC of the framed text ("KestrovaAESCBC", the PEM text,
// its zero byte, PKCS#7 padding), done with GnuTLS. It is the reference the
// service's own codec is held to, and what is stored when that codec is not
// usable in this build.
bool referenceEncrypt(const KeyProtection& protection, const std::string& plain,
                      std::vector<unsigned char>& outCipher) {
    SecretText framed;
    // One allocation: a growing string would leave copies of the key text
    // behind in freed memory.
    framed.text.reserve(sizeof KESTROVA_AES_PREFIX + plain.size() + 1 + KESTROVA_AES_BLOCK_SIZE);
    framed.text = KESTROVA_AES_PREFIX;
    framed.text += plain;
    framed.text.push_back('\0');
    size_t padding = KESTROVA_AES_BLOCK_SIZE - framed.text.size() % KESTROVA_AES_BLOCK_SIZE;
    framed.text.append(padding, static_cast<char>(padding));

    gnutls_cipher_hd_t handle = nullptr;
    gnutls_datum_t key = {const_cast<unsigned char*>(protection.key), sizeof protection.key};
    gnutls_datum_t iv = {const_cast<unsigned char*>(protection.vector), sizeof protection.vector};
    if (!check(gnutls_cipher_init(&handle, GNUTLS_CIPHER_AES_256_CBC, &key, &iv), "cipher init")) {
        return false;
    }
    outCipher.assign(framed.text.size(), 0);
    bool ok = check(gnutls_cipher_encrypt2(handle, framed.text.data(), framed.text.size(),
                                           outCipher.data(), outCipher.size()),
                    "encryption");
    gnutls_cipher_deinit(handle);
    return ok;
}

// Encrypts with the service's codec (aesEncryptValue under the white-box key)
// and holds the result to the reference. The stored bytes must be what the
// service's aesDecryptValue turns back into the PEM text; a codec that still
// disagrees with standard AES-CBC here is reported and the reference is kept,
// so that the credentials of this build folder stay valid once it is fixed.
bool encryptKey(const KeyProtection& protection, const SecretText& pem,
                std::vector<unsigned char>& outCipher) {
    if (!referenceEncrypt(protection, pem.text, outCipher)) {
        return false;
    }
    unsigned char storeVector[KESTROVA_AES_STORE_VECTOR_LENGTH] = {};
    memcpy(storeVector, protection.vector, sizeof protection.vector);
    aesSetStoreKey(protection.key, storeVector);
    size_t length = 0;
    unsigned char* cipher = aesEncryptValue(pem.text.c_str(), &length);
    bool same = cipher != nullptr && length == outCipher.size() &&
                memcmp(cipher, outCipher.data(), length) == 0;
    free(cipher);
    char* back =
        aesDecryptValue(outCipher.data(), outCipher.size(), protection.key, protection.vector);
    bool decrypts = back != nullptr && pem.text == back;
    if (back != nullptr) {
        gnutls_memset(back, 0, strlen(back));
        free(back);
    }
    unsigned char zeros[KESTROVA_AES_STORE_VECTOR_LENGTH] = {};
    aesSetStoreKey(zeros, zeros);
    if (!same || !decrypts) {
        fprintf(stderr,
                "gencreds: warning: the service's AES codec does not match standard AES-256-CBC "
                "(encrypt %s, decrypt %s); the standard cipher text is stored\n",
                same ? "ok" : "differs", decrypts ? "ok" : "fails");
    }
    return true;
}

// ---------------------------------------------------------------------------
// Generated source
// ---------------------------------------------------------------------------

std::string pemLiteral(const std::string& pem) {
    // A line feed first, as the stored certificate texts always had.
    std::string out = "    \"\\n\"\n";
    size_t start = 0;
    while (start < pem.size()) {
        size_t end = pem.find('\n', start);
        if (end == std::string::npos) {
            end = pem.size();
        }
        out += "    \"" + pem.substr(start, end - start) + "\\n\"\n";
        start = end + 1;
    }
    return out;
}

std::string byteList(const unsigned char* bytes, size_t length) {
    std::string out;
    char item[8];
    for (size_t i = 0; i < length; ++i) {
        snprintf(item, sizeof item, "0x%02x,", bytes[i]);
        out += (i % 16 == 0) ? "\n    " : " ";
        out += item;
    }
    out += "\n";
    return out;
}

std::string generatedSource(const std::string& certEC, const std::string& certRSA,
                            const std::vector<unsigned char>& keyEC,
                            const std::vector<unsigned char>& keyRSA,
                            const KeyProtection& protection) {
    std::string out;
    out += "// Written by the credentials generator for this build folder. Do not edit;\n"
           "// delete it to have new credentials issued.\n"
           "#include \"tools/gencreds/CredentialData.h\"\n\n";
    out += "const char kStoredCertificateEC[] =\n" + pemLiteral(certEC) + "    ;\n\n";
    out += "const char kStoredCertificateRSA[] =\n" + pemLiteral(certRSA) + "    ;\n\n";
    out += "const unsigned char kStoredKeyEC[] = {" + byteList(keyEC.data(), keyEC.size()) + "};\n";
    out += "const size_t kStoredKeyECLength = sizeof kStoredKeyEC;\n\n";
    out +=
        "const unsigned char kStoredKeyRSA[] = {" + byteList(keyRSA.data(), keyRSA.size()) + "};\n";
    out += "const size_t kStoredKeyRSALength = sizeof kStoredKeyRSA;\n\n";
    out += "const unsigned char kStoredKeyVector[kStoredKeyVectorLength] = {" +
           byteList(protection.vector, sizeof protection.vector) + "};\n\n";
    out += "const int16_t kStoredWhiteBoxTable[kStoredWhiteBoxSize][kStoredWhiteBoxSize] = {\n";
    for (const auto& row : protection.table) {
        out += "    {";
        for (int column = 0; column < kStoredWhiteBoxSize; ++column) {
            out += std::to_string(row[column]);
            out += column + 1 < kStoredWhiteBoxSize ? ", " : "";
        }
        out += "},\n";
    }
    out += "};\n\n";
    out += "const int32_t kStoredWhiteBoxSeed = " + std::to_string(protection.seed) + ";\n";
    return out;
}

// ---------------------------------------------------------------------------
// Runs
// ---------------------------------------------------------------------------

struct ServerPair {
    std::string certificate;
    std::vector<unsigned char> cipher;
};

bool makeServerPair(KeyKind kind, gnutls_x509_crt_t root, gnutls_x509_privkey_t rootKey,
                    const KeyProtection& protection, const Validity& validity,
                    ServerPair& outPair) {
    Privkey key = generateKey(kind);
    if (!key) {
        return false;
    }
    Crt crt =
        issueServer(kind, key.get(), kServerSubject, loopbackNames(), root, rootKey, validity);
    SecretText pem;
    return crt && exportCertificate(crt.get(), outPair.certificate) && exportKey(key.get(), pem) &&
           encryptKey(protection, pem, outPair.cipher);
}

int generate(const std::string& sourcePath, const std::string& rootFolder) {
    const time_t start = validityStart();
    const Validity rootValidity{start, start + kRootValidityDays * kDay};
    const Validity serverValidity{start, start + kServerValidityDays * kDay};
    Privkey rootKeyEC = generateKey(KeyKind::EC);
    Privkey rootKeyRSA = generateKey(KeyKind::RSA);
    if (!rootKeyEC || !rootKeyRSA) {
        return 1;
    }
    Crt rootEC = makeRoot(rootKeyEC.get(), rootValidity);
    Crt rootRSA = makeRoot(rootKeyRSA.get(), rootValidity);
    if (!rootEC || !rootRSA) {
        return 1;
    }

    KeyProtection protection{};
    ServerPair pairEC;
    ServerPair pairRSA;
    bool ok = makeProtection(protection) &&
              makeServerPair(KeyKind::EC, rootEC.get(), rootKeyEC.get(), protection, serverValidity,
                             pairEC) &&
              makeServerPair(KeyKind::RSA, rootRSA.get(), rootKeyRSA.get(), protection,
                             serverValidity, pairRSA);
    // The root keys have done their only job.
    rootKeyEC.reset();
    rootKeyRSA.reset();

    std::string rootPemEC;
    std::string rootPemRSA;
    ok = ok && exportCertificate(rootEC.get(), rootPemEC) &&
         exportCertificate(rootRSA.get(), rootPemRSA) &&
         writeFile(rootFolder + "/" + kRootFileEC, rootPemEC) &&
         writeFile(rootFolder + "/" + kRootFileRSA, rootPemRSA) &&
         // Last, so that an existing source means the whole set exists.
         writeFile(sourcePath, generatedSource(pairEC.certificate, pairRSA.certificate,
                                               pairEC.cipher, pairRSA.cipher, protection));
    wipeProtection(protection);
    return ok ? 0 : 1;
}

int constraintSet(const std::string& folder) {
    const time_t start = validityStart();
    const Validity validity{start, start + kServerValidityDays * kDay};
    Privkey rootKey = generateKey(KeyKind::EC);
    if (!rootKey) {
        return 1;
    }
    Crt root = makeRoot(rootKey.get(), validity);
    std::string pem;
    if (!root || !exportCertificate(root.get(), pem) || !writeFile(folder + "/root.pem", pem)) {
        return 1;
    }
    struct Case {
        const char* file;
        const char* subject;
        ServerNames names;
    };
    const std::vector<Case> cases = {
        {"localhost.pem", "CN=localhost", loopbackNames()},
        {"loopback-v6.pem",
         "CN=localhost",
         {{"localhost"}, {{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}}}},
        {"other-name.pem", "CN=other.example", {{"other.example"}, {}}},
        {"other-ip.pem", "CN=localhost", {{"localhost"}, {{10, 0, 0, 1}}}},
    };
    for (const Case& c : cases) {
        Privkey key = generateKey(KeyKind::EC);
        if (!key) {
            return 1;
        }
        Crt crt = issueServer(KeyKind::EC, key.get(), c.subject, c.names, root.get(), rootKey.get(),
                              validity);
        if (!crt || !exportCertificate(crt.get(), pem) || !writeFile(folder + "/" + c.file, pem)) {
            return 1;
        }
    }
    return 0;
}

int usage() {
    fprintf(stderr, "usage: gencreds --source FILE.cpp --roots DIR\n"
                    "       gencreds --constraint-set DIR\n");
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    if (!check(gnutls_global_init(), "GnuTLS init")) {
        return 1;
    }
    int rc = 2;
    if (argc == 5 && strcmp(argv[1], "--source") == 0 && strcmp(argv[3], "--roots") == 0) {
        rc = generate(argv[2], argv[4]);
    } else if (argc == 3 && strcmp(argv[1], "--constraint-set") == 0) {
        rc = constraintSet(argv[2]);
    } else {
        rc = usage();
    }
    gnutls_global_deinit();
    return rc;
}
