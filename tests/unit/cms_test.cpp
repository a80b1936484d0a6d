// CMS SignedData and EnvelopedData of the GPKI component, checked by the
// openssl command line as an independent peer, with software keys (a token
// key goes through the same gnutls_privkey_t calls).

#include "component/Cms.h"

#include "tests/unit/cms_testkeys.h"

#include <gtest/gtest.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/params.h>
#include <openssl/pem.h>

namespace {

struct Keys {
    TestSigner rsa = testMakeSigner(GNUTLS_PK_RSA);
    TestSigner ec = testMakeSigner(GNUTLS_PK_ECDSA);
    std::string dir = testMakeFolder("cms-test");
    Keys() {
        for (TestSigner* s : {&rsa, &ec}) {
            testWriteFile(dir + "/" + s->name + ".crt", s->certPem);
            testWriteFile(dir + "/" + s->name + ".key", s->keyPem);
        }
    }
    ~Keys() {
        testFreeSigner(rsa);
        testFreeSigner(ec);
        testRun("rm -rf '" + dir + "'");
    }
};

Keys& keys() {
    static Keys k;
    return k;
}

std::string opensslVerify(const std::string& der, const std::string& name,
                          const std::string* content, int* outExit) {
    Keys& k = keys();
    std::string sig = k.dir + "/sig.der";
    std::string out = k.dir + "/out.bin";
    testWriteFile(sig, der);
    std::string cmd = "openssl cms -verify -binary -inform DER -in '" + sig + "' -CAfile '" +
                      k.dir + "/" + name + ".crt' -purpose any -out '" + out + "'";
    if (content) {
        testWriteFile(k.dir + "/content.bin", *content);
        cmd += " -content '" + k.dir + "/content.bin'";
    }
    std::string log;
    *outExit = testRun(cmd, &log);
    return testReadFile(out);
}

struct SignCase {
    const char* key;
    long flags;
    long hashFlag;
    const char* algorithm;
};

class CmsSign : public ::testing::TestWithParam<SignCase> {};

TEST_P(CmsSign, OpensslVerifiesAndAlgorithmReadsBack) {
    const SignCase& c = GetParam();
    TestSigner& s = std::string(c.key) == "rsa" ? keys().rsa : keys().ec;
    // Bytes beyond ASCII and a NUL: the content must be signed as given.
    const std::string content = std::string("h\xc3\xa9llo, signed world\n", 21) + '\0' + "tail";

    std::string der;
    ASSERT_EQ(cmsSign(s.key, s.crt, content, c.flags, c.hashFlag, der), kCmsXmlOk);
    const bool detached = (c.flags & kCmsFlagDetached) != 0;
    int exitCode = -1;
    std::string verified = opensslVerify(der, s.name, detached ? &content : nullptr, &exitCode);
    EXPECT_EQ(exitCode, 0);
    EXPECT_EQ(verified, content);

    // A one-byte change of the content fails verification.
    std::string changed = content;
    changed[0] = 'H';
    if (detached) {
        opensslVerify(der, s.name, &changed, &exitCode);
    } else {
        std::string tampered = der;
        size_t at = tampered.find("signed world");
        ASSERT_NE(at, std::string::npos);
        tampered[at] = 'S';
        opensslVerify(tampered, s.name, nullptr, &exitCode);
    }
    EXPECT_NE(exitCode, 0);

    std::string name;
    ASSERT_EQ(cmsSignatureAlgorithm(cmsBase64Encode(der), 0, 0, name), kCmsXmlOk);
    EXPECT_EQ(name, c.algorithm);
    std::string oid;
    ASSERT_EQ(cmsSignatureAlgorithm(cmsBase64Encode(der), 1, 0, oid), kCmsXmlOk);
    EXPECT_EQ(oid.rfind("1.2.840.", 0), 0u) << oid;
    EXPECT_EQ(cmsSignatureAlgorithm(cmsBase64Encode(der), 0, 1, name), kCmsXmlBadCms);
}

INSTANTIATE_TEST_SUITE_P(KeysFlagsDigests, CmsSign,
                         ::testing::Values(SignCase{"rsa", 0, 0, "RSA-SHA256"},
                                           SignCase{"rsa", kCmsFlagDetached, 0, "RSA-SHA256"},
                                           SignCase{"rsa", 0, 3, "RSA-SHA384"},
                                           SignCase{"rsa", kCmsFlagDetached, 512, "RSA-SHA512"},
                                           SignCase{"ec", 0, 0, "ECDSA-SHA256"},
                                           SignCase{"ec", kCmsFlagDetached, 0, "ECDSA-SHA256"},
                                           SignCase{"ec", 0, 4, "ECDSA-SHA512"}));

TEST(CmsSignErrors, RefusesUnknownSelectorsAndBadInput) {
    Keys& k = keys();
    std::string der = "unchanged";
    EXPECT_EQ(cmsSign(k.rsa.key, k.rsa.crt, "x", 0, 7, der), kCmsXmlBadHashFlag);
    EXPECT_EQ(cmsSign(k.rsa.key, k.rsa.crt, "x", 0x1, 0, der), kCmsXmlBadFlags);
    EXPECT_EQ(cmsSign(nullptr, k.rsa.crt, "x", 0, 0, der), kCmsXmlBadArgument);
    EXPECT_EQ(der, "unchanged");
    std::string name;
    EXPECT_EQ(cmsSignatureAlgorithm("not base64 at all!", 0, 0, name), kCmsXmlBadBase64);
    EXPECT_EQ(cmsSignatureAlgorithm(cmsBase64Encode("garbage"), 0, 0, name), kCmsXmlBadCms);
    EXPECT_EQ(cmsSignatureAlgorithm(cmsBase64Encode("garbage"), 2, 0, name), kCmsXmlBadFlags);
}

TEST(CmsCertificateText, ReadsPemAndBase64Der) {
    Keys& k = keys();
    gnutls_x509_crt_t a = cmsCertificateFromText(k.rsa.certPem);
    ASSERT_NE(a, nullptr);
    gnutls_datum_t der;
    ASSERT_EQ(gnutls_x509_crt_export2(a, GNUTLS_X509_FMT_DER, &der), 0);
    std::string b64 = cmsBase64Encode(testDatum(der));
    gnutls_free(der.data);
    // Line breaks as a page may send them.
    b64.insert(40, "\r\n");
    gnutls_x509_crt_t b = cmsCertificateFromText(b64);
    ASSERT_NE(b, nullptr);
    EXPECT_TRUE(gnutls_x509_crt_equals(a, b));
    gnutls_x509_crt_deinit(a);
    gnutls_x509_crt_deinit(b);
    EXPECT_EQ(cmsCertificateFromText("bm90IGEgY2VydA=="), nullptr);
    EXPECT_EQ(cmsCertificateFromText(""), nullptr);
}

// ---------------------------------------------------------------------------
// EnvelopedData
// ---------------------------------------------------------------------------

struct EncryptCase {
    const char* key;
    long flags;
    const char* cipherName; // as "openssl cms -cmsout -print" names it
};

class CmsEncrypt : public ::testing::TestWithParam<EncryptCase> {};

TEST_P(CmsEncrypt, OpensslDecryptsWithTheExportedKey) {
    const EncryptCase& c = GetParam();
    Keys& k = keys();
    TestSigner& s = std::string(c.key) == "rsa" ? k.rsa : k.ec;
    const std::string content = "secret \xea\xb0\x80 text\n";
    std::string der;
    ASSERT_EQ(cmsEncrypt(s.crt, content, c.flags, der), kCmsXmlOk);
    testWriteFile(k.dir + "/env.der", der);
    std::string printed;
    ASSERT_EQ(
        testRun("openssl cms -cmsout -print -inform DER -in '" + k.dir + "/env.der'", &printed), 0);
    EXPECT_NE(printed.find(c.cipherName), std::string::npos) << printed;
    std::string out;
    ASSERT_EQ(testRun("openssl cms -decrypt -binary -inform DER -in '" + k.dir +
                          "/env.der' -inkey '" + k.dir + "/" + s.name + ".key' -recip '" + k.dir +
                          "/" + s.name + ".crt' -out '" + k.dir + "/clear.bin'",
                      &out),
              0)
        << out;
    EXPECT_EQ(testReadFile(k.dir + "/clear.bin"), content);
}

INSTANTIATE_TEST_SUITE_P(Ciphers, CmsEncrypt,
                         ::testing::Values(EncryptCase{"rsa", 0, "aes-256-cbc"},
                                           EncryptCase{"rsa", 1, "aes-128-cbc"},
                                           EncryptCase{"rsa", 2, "aes-192-cbc"},
                                           EncryptCase{"ec", 0, "aes-256-cbc"}));

TEST(CmsDecrypt, OpensWhatOpensslEncryptedAndTellsFailuresApart) {
    Keys& k = keys();
    const std::string content = std::string("clear\0bytes \xff", 13);
    testWriteFile(k.dir + "/in.bin", content);
    std::string out;
    ASSERT_EQ(testRun("openssl cms -encrypt -binary -aes-128-cbc -outform DER -in '" + k.dir +
                          "/in.bin' -out '" + k.dir + "/rsa-env.der' '" + k.dir + "/rsa.crt'",
                      &out),
              0)
        << out;
    std::string der = testReadFile(k.dir + "/rsa-env.der");
    std::string clear;
    ASSERT_EQ(cmsDecrypt(k.rsa.key, k.rsa.crt, der, clear), kCmsXmlOk);
    EXPECT_EQ(clear, content);

    // Our own EnvelopedData round-trips as well.
    std::string ours;
    ASSERT_EQ(cmsEncrypt(k.rsa.crt, content, 0, ours), kCmsXmlOk);
    ASSERT_EQ(cmsDecrypt(k.rsa.key, k.rsa.crt, ours, clear), kCmsXmlOk);
    EXPECT_EQ(clear, content);

    // Addressed to another certificate.
    TestSigner other = testMakeSigner(GNUTLS_PK_RSA, " other");
    EXPECT_EQ(cmsDecrypt(other.key, other.crt, der, clear), kCmsXmlNotRecipient);
    EXPECT_TRUE(clear.empty());
    // The right certificate but the wrong key: the key transport fails.
    EXPECT_EQ(cmsDecrypt(other.key, k.rsa.crt, der, clear), kCmsXmlDecryptFailed);
    EXPECT_TRUE(clear.empty());
    testFreeSigner(other);

    // An EC recipient is reached by key agreement, not by this function.
    std::string ecDer;
    ASSERT_EQ(cmsEncrypt(k.ec.crt, content, 0, ecDer), kCmsXmlOk);
    EXPECT_EQ(cmsDecrypt(k.ec.key, k.ec.crt, ecDer, clear), kCmsXmlUnsupportedKey);

    EXPECT_EQ(cmsDecrypt(k.rsa.key, k.rsa.crt, "not cms", clear), kCmsXmlBadCms);
    std::string signedDer;
    ASSERT_EQ(cmsSign(k.rsa.key, k.rsa.crt, "x", 0, 0, signedDer), kCmsXmlOk);
    EXPECT_EQ(cmsDecrypt(k.rsa.key, k.rsa.crt, signedDer, clear), kCmsXmlBadCms);
}

// ECDH of a software key with the originator's point, as the token does it.
CmsEcdhFunction softwareEcdh(const std::string& keyPem, int* outCalls) {
    return [keyPem, outCalls](const std::string& point, std::string& outSecret) -> long {
        ++*outCalls;
        BIO* bio = BIO_new_mem_buf(keyPem.data(), static_cast<int>(keyPem.size()));
        EVP_PKEY* own = PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr);
        BIO_free(bio);
        EVP_PKEY_CTX* fromData = EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr);
        EVP_PKEY* peer = nullptr;
        std::string group = "prime256v1";
        std::string pub = point;
        OSSL_PARAM params[] = {
            OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, group.data(), 0),
            OSSL_PARAM_construct_octet_string(OSSL_PKEY_PARAM_PUB_KEY, pub.data(), pub.size()),
            OSSL_PARAM_construct_end()};
        long rc = kCmsXmlDecryptFailed;
        if (own && fromData && EVP_PKEY_fromdata_init(fromData) == 1 &&
            EVP_PKEY_fromdata(fromData, &peer, EVP_PKEY_PUBLIC_KEY, params) == 1) {
            EVP_PKEY_CTX* derive = EVP_PKEY_CTX_new(own, nullptr);
            size_t length = 0;
            if (EVP_PKEY_derive_init(derive) == 1 && EVP_PKEY_derive_set_peer(derive, peer) == 1 &&
                EVP_PKEY_derive(derive, nullptr, &length) == 1) {
                outSecret.resize(length);
                if (EVP_PKEY_derive(derive, reinterpret_cast<unsigned char*>(outSecret.data()),
                                    &length) == 1)
                    rc = kCmsXmlOk;
            }
            EVP_PKEY_CTX_free(derive);
        }
        EVP_PKEY_free(peer);
        EVP_PKEY_CTX_free(fromData);
        EVP_PKEY_free(own);
        return rc;
    };
}

TEST(CmsDecryptAgreement, EcRecipientOpensWithTheKeysSharedSecret) {
    Keys& k = keys();
    const std::string content = "agreed \xec\x95\x88 text";
    int calls = 0;
    CmsEcdhFunction ecdh = softwareEcdh(k.ec.keyPem, &calls);

    std::string ours;
    ASSERT_EQ(cmsEncrypt(k.ec.crt, content, 1, ours), kCmsXmlOk);
    std::string clear;
    ASSERT_EQ(cmsDecryptAgreement(k.ec.crt, ours, ecdh, clear), kCmsXmlOk);
    EXPECT_EQ(clear, content);
    EXPECT_EQ(calls, 1);

    testWriteFile(k.dir + "/ec-in.bin", content);
    std::string log;
    ASSERT_EQ(testRun("openssl cms -encrypt -binary -aes-256-cbc -outform DER -in '" + k.dir +
                          "/ec-in.bin' -out '" + k.dir + "/ec-env.der' '" + k.dir + "/ec.crt'",
                      &log),
              0)
        << log;
    ASSERT_EQ(cmsDecryptAgreement(k.ec.crt, testReadFile(k.dir + "/ec-env.der"), ecdh, clear),
              kCmsXmlOk);
    EXPECT_EQ(clear, content);

    // A wrong shared secret fails the key unwrap, and leaves nothing behind.
    CmsEcdhFunction wrong = [](const std::string&, std::string& out) -> long {
        out.assign(32, '\x5a');
        return kCmsXmlOk;
    };
    EXPECT_EQ(cmsDecryptAgreement(k.ec.crt, ours, wrong, clear), kCmsXmlDecryptFailed);
    EXPECT_TRUE(clear.empty());
    // Token failures are handed on.
    CmsEcdhFunction refusing = [](const std::string&, std::string&) -> long {
        return kCmsXmlSignFailed;
    };
    EXPECT_EQ(cmsDecryptAgreement(k.ec.crt, ours, refusing, clear), kCmsXmlDecryptFailed);
    // Not addressed to this certificate / addressed by key transport.
    TestSigner other = testMakeSigner(GNUTLS_PK_ECDSA, " other");
    EXPECT_EQ(cmsDecryptAgreement(other.crt, ours, ecdh, clear), kCmsXmlNotRecipient);
    testFreeSigner(other);
    std::string rsaEnv;
    ASSERT_EQ(cmsEncrypt(k.rsa.crt, content, 0, rsaEnv), kCmsXmlOk);
    EXPECT_EQ(cmsDecryptAgreement(k.rsa.crt, rsaEnv, ecdh, clear), kCmsXmlBadArgument);
}

TEST(CmsEncryptErrors, RefusesUnknownCipher) {
    std::string der;
    EXPECT_EQ(cmsEncrypt(keys().rsa.crt, "x", 5, der), kCmsXmlBadFlags);
    EXPECT_EQ(cmsEncrypt(keys().rsa.crt, "x", 0x200, der), kCmsXmlBadFlags);
    EXPECT_EQ(cmsEncrypt(nullptr, "x", 0, der), kCmsXmlBadArgument);
}

} // namespace
