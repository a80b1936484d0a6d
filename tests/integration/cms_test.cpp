// The component's CMS methods on a SoftHSM2 token: what they make is checked
// by openssl cms, and what openssl makes is opened by them.

#include "component/Cms.h"
#include "component/CodePage.h"

#include "component/CmsMethods.h"

#include "tests/integration/cms_token.h"

namespace {

::testing::Environment* const tokenEnvironment =
    ::testing::AddGlobalTestEnvironment(new CmsTokenEnvironment);

struct KeyCase {
    const char* name; // "rsa" or "ec"
    long kind;
};

class CmsOnToken : public ::testing::TestWithParam<KeyCase> {};

// Verifies a Base64 SignedData with openssl against the token's authority;
// the content openssl got out of it, or "" with outExit non-zero.
std::string verify(const std::string& b64, const std::string* detachedContent, int& outExit) {
    CmsToken& t = cmsToken();
    std::string der;
    EXPECT_TRUE(base64Decode(b64, der));
    testWriteFile(t.root + "/sig.der", der);
    std::string cmd = "openssl cms -verify -binary -inform DER -in '" + t.root +
                      "/sig.der' -CAfile '" + tokenFile("ca.crt.pem") + "' -purpose any -out '" +
                      t.root + "/verified.bin'";
    if (detachedContent) {
        testWriteFile(t.root + "/content.bin", *detachedContent);
        cmd += " -content '" + t.root + "/content.bin'";
    }
    std::string log;
    outExit = testRun(cmd, &log);
    return outExit == 0 ? testReadFile(t.root + "/verified.bin") : std::string();
}

TEST_P(CmsOnToken, SignDataAttachedAndDetachedVerifyWithOpenssl) {
    const KeyCase& k = GetParam();
    ComponentFixture c;
    auto guard = tokenLock();
    const std::string text = "계약서 본문 / contract text";
    std::string out;
    ASSERT_EQ(componentSignData(c.state, cmsToken().pin, text, "UTF-8", k.kind, 0, out), kTokenOk);
    int exitCode = -1;
    EXPECT_EQ(verify(out, nullptr, exitCode), text);
    EXPECT_EQ(exitCode, 0);
    std::string algorithm;
    ASSERT_EQ(componentSignatureAlgorithm(c.state, out, 0, 0, algorithm), kTokenOk);
    EXPECT_EQ(algorithm, std::string(k.name) == "rsa" ? "RSA-SHA256" : "ECDSA-SHA256");

    // Detached, in another code page, SHA-384: openssl needs the same bytes.
    ASSERT_EQ(
        componentSignData(c.state, cmsToken().pin, text, "949", k.kind | kCmsFlagDetached, 3, out),
        kTokenOk);
    std::string cp949;
    ASSERT_EQ(codePageFromUtf8(text, "949", 65001, cp949), kTokenOk);
    verify(out, &cp949, exitCode);
    EXPECT_EQ(exitCode, 0);
    verify(out, &text, exitCode); // the UTF-8 bytes were not the ones signed
    EXPECT_NE(exitCode, 0);
    ASSERT_EQ(componentSignatureAlgorithm(c.state, out, 0, 0, algorithm), kTokenOk);
    EXPECT_EQ(algorithm, std::string(k.name) == "rsa" ? "RSA-SHA384" : "ECDSA-SHA384");
}

TEST_P(CmsOnToken, MultiPartSignsLikeOneShotWithOneLogin) {
    const KeyCase& k = GetParam();
    ComponentFixture c;
    auto guard = tokenLock();
    long number = -1;
    ASSERT_EQ(componentSignStep(c.state, kSignDataInit, cmsToken().pin, k.kind, number), kTokenOk);
    std::string out = "x";
    ASSERT_EQ(componentSignDataUpdate(c.state, "first part, ", "", kCmsFlagMoreParts, 0, out),
              kTokenOk);
    EXPECT_TRUE(out.empty());
    ASSERT_EQ(componentSignDataUpdate(c.state, "second part, ", "", kCmsFlagMoreParts, 0, out),
              kTokenOk);
    ASSERT_EQ(componentSignDataUpdate(c.state, "last part", "", 0, 0, out), kTokenOk);
    int exitCode = -1;
    EXPECT_EQ(verify(out, nullptr, exitCode), "first part, second part, last part");
    EXPECT_EQ(exitCode, 0);

    // A second signature on the same login, detached this time.
    const std::string other = "another document";
    ASSERT_EQ(componentSignDataUpdate(c.state, other, "", kCmsFlagDetached, 0, out), kTokenOk);
    verify(out, &other, exitCode);
    EXPECT_EQ(exitCode, 0);

    ASSERT_EQ(componentSignStep(c.state, kSignDataFinal, "", 0, number), kTokenOk);
    EXPECT_EQ(componentSignDataUpdate(c.state, "after final", "", 0, 0, out), kCmsXmlNoSession);
    // Final ended the login: signing needs the PIN again.
    EXPECT_EQ(componentSignData(c.state, "", "x", "", k.kind, 0, out), kTokenPinRequired);
}

INSTANTIATE_TEST_SUITE_P(Keys, CmsOnToken,
                         ::testing::Values(KeyCase{"rsa", kKeyKindRsa}, KeyCase{"ec", kKeyKindEc}));

TEST(CmsOnTokenErrors, WrongPinAndUpdateWithoutInit) {
    ComponentFixture c;
    auto guard = tokenLock();
    std::string out = "unchanged";
    EXPECT_EQ(componentSignData(c.state, "000000", "x", "", kKeyKindRsa, 0, out),
              kTokenPinIncorrect);
    EXPECT_EQ(componentSignDataUpdate(c.state, "x", "", 0, 0, out), kCmsXmlNoSession);
    long n = 0;
    EXPECT_EQ(componentSignStep(c.state, kSignInitLogin, "000000", kKeyKindRsa, n),
              kTokenPinIncorrect);
    EXPECT_EQ(componentSignData(c.state, cmsToken().pin, "x", "", kKeyKindRsa, 9, out),
              kCmsXmlBadHashFlag);
    EXPECT_EQ(
        componentSignData(c.state, cmsToken().pin, "x", "no-such-codepage", kKeyKindRsa, 0, out),
        kTokenBadCodePage);
    EXPECT_EQ(out, "unchanged");

    // A session belongs to the token of its Init: choosing another reader
    // meanwhile ends it, even when the first one is chosen again.
    ASSERT_EQ(componentSignStep(c.state, kSignDataInit, cmsToken().pin, kKeyKindRsa, n), kTokenOk);
    c.state.slotIndex = 1;
    EXPECT_EQ(componentSignDataUpdate(c.state, "x", "", 0, 0, out), kCmsXmlNoSession);
    c.state.slotIndex = 0;
    EXPECT_EQ(componentSignDataUpdate(c.state, "x", "", 0, 0, out), kCmsXmlNoSession);
}

TEST(CmsEnvelopedOnToken, EncryptForOpensslAndDecryptOpensslsOnTheToken) {
    CmsToken& t = cmsToken();
    ComponentFixture c;
    auto guard = tokenLock();
    const std::string text = "기밀 secret 123";
    std::string out;
    ASSERT_EQ(componentEncryptByCert(c.state, testReadFile(tokenFile("rsa.crt.pem")), text, 0, out),
              kTokenOk);
    std::string der;
    ASSERT_TRUE(base64Decode(out, der));
    testWriteFile(t.root + "/env.der", der);
    std::string log;
    ASSERT_EQ(testRun("openssl cms -decrypt -binary -inform DER -in '" + t.root +
                          "/env.der' -inkey '" + tokenFile("rsa.key.pem") + "' -out '" + t.root +
                          "/clear.bin'",
                      &log),
              0)
        << log;
    EXPECT_EQ(testReadFile(t.root + "/clear.bin"), text);

    // And back: openssl encrypts, the token's key opens it.
    testWriteFile(t.root + "/in.txt", text);
    ASSERT_EQ(testRun("openssl cms -encrypt -binary -aes-256-cbc -in '" + t.root +
                          "/in.txt' -out '" + t.root + "/env.pem' -outform PEM '" +
                          tokenFile("rsa.crt.pem") + "'",
                      &log),
              0)
        << log;
    std::string clear;
    ASSERT_EQ(componentDecrypt(c.state, t.pin, testReadFile(t.root + "/env.pem"), 0, 0, clear),
              kTokenOk);
    EXPECT_EQ(clear, text);
    ASSERT_EQ(componentDecrypt(c.state, "", out, kCmsFlagBinary, 0, clear), kTokenOk); // login held
    EXPECT_EQ(clear, base64Encode(text));

    // Decrypt2File: refused outside the allowed folder, written inside it.
    EXPECT_EQ(componentDecrypt2File(c.state, out, t.outside + "/clear.txt", 0, 0),
              kTokenPathRefused);
    EXPECT_EQ(access((t.outside + "/clear.txt").c_str(), F_OK), -1);
    ASSERT_EQ(componentDecrypt2File(c.state, out, t.allowed + "/clear.txt", 0, 0), kTokenOk);
    EXPECT_EQ(testReadFile(t.allowed + "/clear.txt"), text);

    // Addressed elsewhere: a fresh certificate the token has no key for.
    TestSigner stranger = testMakeSigner(GNUTLS_PK_RSA, " stranger");
    ASSERT_EQ(componentEncryptByCert(c.state, stranger.certPem, text, 0, out), kTokenOk);
    EXPECT_EQ(componentDecrypt(c.state, t.pin, out, 0, 0, clear), kCmsXmlNotRecipient);
    testFreeSigner(stranger);
    EXPECT_EQ(componentDecrypt(c.state, t.pin, "bm90IGNtcw==", 0, 0, clear), kCmsXmlBadCms);

    // The EC certificate: ECDH key agreement, which openssl opens with the
    // exported key; the token's EC key only signs, so GPKI_Decrypt finds no
    // encryption key it is addressed to, and names the agreement key as
    // unusable when the signing keys are offered.
    ASSERT_EQ(componentEncryptByCert(c.state, testReadFile(tokenFile("ec.crt.pem")), text, 0, out),
              kTokenOk);
    ASSERT_TRUE(base64Decode(out, der));
    testWriteFile(t.root + "/ec-env.der", der);
    ASSERT_EQ(testRun("openssl cms -decrypt -binary -inform DER -in '" + t.root +
                          "/ec-env.der' -inkey '" + tokenFile("ec.key.pem") + "' -out '" + t.root +
                          "/ec-clear.bin'",
                      &log),
              0)
        << log;
    EXPECT_EQ(testReadFile(t.root + "/ec-clear.bin"), text);
    EXPECT_EQ(componentDecrypt(c.state, t.pin, out, 0, 0, clear), kCmsXmlNotRecipient);
    EXPECT_EQ(componentDecrypt(c.state, t.pin, out, 0, kKeyUsageSign, clear),
              kCmsXmlUnsupportedKey);
}

TEST(CmsEnvelopedOnToken, KeyAgreementWithTheTokensEcdhKey) {
    CmsToken& t = cmsToken();
    const std::string w = t.root + "/ecdh";
    ComponentFixture c;
    auto guard = tokenLock();
    const std::string text = "agreed 합의 text";
    std::string log;

    // openssl encrypts for the ECDH certificate; the token derives the secret.
    testWriteFile(w + "/in.txt", text);
    ASSERT_EQ(testRun("openssl cms -encrypt -binary -aes-128-cbc -in '" + w + "/in.txt' -out '" +
                          w + "/env.pem' -outform PEM '" + w + "/ecdh.crt.pem'",
                      &log),
              0)
        << log;
    std::string clear;
    ASSERT_EQ(componentDecrypt(c.state, t.pin, testReadFile(w + "/env.pem"), 0, 0, clear),
              kTokenOk);
    EXPECT_EQ(clear, text);

    // Our own EnvelopedData for it: openssl opens it with the exported key,
    // and so does the token (on the login already held).
    std::string out;
    ASSERT_EQ(componentEncryptByCert(c.state, testReadFile(w + "/ecdh.crt.pem"), text, 0, out),
              kTokenOk);
    std::string der;
    ASSERT_TRUE(base64Decode(out, der));
    testWriteFile(w + "/ours.der", der);
    ASSERT_EQ(testRun("openssl cms -decrypt -binary -inform DER -in '" + w + "/ours.der' -inkey '" +
                          w + "/ecdh.key.pem' -out '" + w + "/clear.bin'",
                      &log),
              0)
        << log;
    EXPECT_EQ(testReadFile(w + "/clear.bin"), text);
    ASSERT_EQ(componentDecrypt(c.state, "", out, 0, 0, clear), kTokenOk);
    EXPECT_EQ(clear, text);

    // Without a login the token derives nothing.
    ComponentFixture fresh;
    long n = 0;
    ASSERT_EQ(componentSignStep(c.state, kSignFinal, "", 0, n), kTokenOk); // logs out
    clear = "unchanged";
    EXPECT_EQ(componentDecrypt(fresh.state, "", out, 0, 0, clear), kTokenPinRequired);
    EXPECT_EQ(clear, "unchanged");
}

TEST(CmsAttributeCertificate, ReadFromTheSelectedToken) {
    ComponentFixture c;
    auto guard = tokenLock();
    const std::string& der = cmsToken().attributeCert;
    std::string out = "unchanged";
    EXPECT_EQ(componentGetAttributeCert(c.state, "", "", 0, out), kTokenOk);
    EXPECT_EQ(out, base64Encode(der) + ";");
    EXPECT_EQ(componentGetAttributeCert(c.state, " Kestrova Test Token ", cmsToken().pin, 0, out),
              kTokenOk);
    EXPECT_EQ(out, base64Encode(der) + ";");

    out = "unchanged";
    EXPECT_EQ(componentGetAttributeCert(c.state, "Another Reader", "", 0, out), kTokenNoToken);
    EXPECT_EQ(componentGetAttributeCert(c.state, "", "000000", 0, out), kTokenPinIncorrect);
    EXPECT_EQ(componentGetAttributeCert(c.state, "", "", 1, out), kTokenBadArgument);
    EXPECT_EQ(out, "unchanged");
}

} // namespace
