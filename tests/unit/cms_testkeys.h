#pragma once
// Software keys and self-signed certificates for the CMS and XML unit tests,
// a scratch folder, and a runner for the independent command-line verifiers.
// A software gnutls_privkey_t is used exactly like a token key.

#include <gnutls/abstract.h>
#include <gnutls/gnutls.h>
#include <gnutls/x509.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

struct TestSigner {
    gnutls_privkey_t key = nullptr;
    gnutls_x509_crt_t crt = nullptr;
    std::string keyPem; // PKCS#8 PEM of the private key
    std::string certPem;
    std::string name;
};

inline std::string testDatum(const gnutls_datum_t& d) {
    return std::string(reinterpret_cast<const char*>(d.data), d.size);
}

// RSA-2048 or EC P-256 key with a self-signed certificate that allows
// signing and (RSA) key encipherment; tag sets signers of one kind apart.
inline TestSigner testMakeSigner(gnutls_pk_algorithm_t pk, const char* tag = "") {
    TestSigner s;
    s.name = pk == GNUTLS_PK_RSA ? "rsa" : "ec";
    gnutls_x509_privkey_t xkey;
    gnutls_x509_privkey_init(&xkey);
    unsigned bits = pk == GNUTLS_PK_RSA ? 2048 : GNUTLS_CURVE_TO_BITS(GNUTLS_ECC_CURVE_SECP256R1);
    if (gnutls_x509_privkey_generate(xkey, pk, bits, 0) < 0)
        abort();
    gnutls_datum_t pem;
    gnutls_x509_privkey_export2_pkcs8(xkey, GNUTLS_X509_FMT_PEM, nullptr, GNUTLS_PKCS_PLAIN, &pem);
    s.keyPem = testDatum(pem);
    gnutls_free(pem.data);

    gnutls_x509_crt_init(&s.crt);
    gnutls_x509_crt_set_version(s.crt, 3);
    unsigned char serial[] = {0x12, 0x34, static_cast<unsigned char>(pk)};
    gnutls_x509_crt_set_serial(s.crt, serial, sizeof serial);
    gnutls_x509_crt_set_activation_time(s.crt, time(nullptr) - 3600);
    gnutls_x509_crt_set_expiration_time(s.crt, time(nullptr) + 86400 * 30);
    std::string dn = "CN=Kestrova Test " + s.name + tag + ",O=Kestrova Test";
    gnutls_x509_crt_set_dn(s.crt, dn.c_str(), nullptr);
    gnutls_x509_crt_set_key(s.crt, xkey);
    gnutls_x509_crt_set_basic_constraints(s.crt, 0, -1);
    unsigned usage = GNUTLS_KEY_DIGITAL_SIGNATURE | GNUTLS_KEY_NON_REPUDIATION;
    if (pk == GNUTLS_PK_RSA)
        usage |= GNUTLS_KEY_KEY_ENCIPHERMENT;
    else
        usage |= GNUTLS_KEY_KEY_AGREEMENT;
    gnutls_x509_crt_set_key_usage(s.crt, usage);
    if (gnutls_x509_crt_sign2(s.crt, s.crt, xkey, GNUTLS_DIG_SHA256, 0) < 0)
        abort();
    gnutls_x509_crt_export2(s.crt, GNUTLS_X509_FMT_PEM, &pem);
    s.certPem = testDatum(pem);
    gnutls_free(pem.data);

    gnutls_privkey_init(&s.key);
    gnutls_privkey_import_x509(s.key, xkey, GNUTLS_PRIVKEY_IMPORT_AUTO_RELEASE);
    return s;
}

inline void testFreeSigner(TestSigner& s) {
    gnutls_privkey_deinit(s.key);
    gnutls_x509_crt_deinit(s.crt);
    s.key = nullptr;
    s.crt = nullptr;
}

inline std::string testMakeFolder(const char* tag) {
    const char* tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/" + tag + "-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr)
        abort();
    return pattern;
}

inline void testWriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline std::string testReadFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::ostringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

// Runs a shell command line; its exit code (output goes to outOutput).
inline int testRun(const std::string& command, std::string* outOutput = nullptr) {
    std::string full = command + " 2>&1";
    FILE* p = popen(full.c_str(), "r");
    if (p == nullptr)
        return -1;
    std::string out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    int status = pclose(p);
    if (outOutput)
        *outOutput = out;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
