// Enveloped XML signatures over templates, checked by xmlsec1 as an
// independent verifier, with software keys (a token key takes the same
// gnutls_privkey_t path).

#include "component/XmlSign.h"

#include "tests/unit/cms_testkeys.h"

#include <gtest/gtest.h>

namespace {

std::string dataDir() {
    const char* d = getenv("KESTROVA_TEST_DATA");
    return std::string(d ? d : "tests/data") + "/xml";
}

std::string replaceAll(std::string s, const std::string& from, const std::string& to) {
    for (size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size()))
        s.replace(at, from.size(), to);
    return s;
}

struct Fixture {
    TestSigner rsa = testMakeSigner(GNUTLS_PK_RSA);
    TestSigner ec = testMakeSigner(GNUTLS_PK_ECDSA);
    std::string dir = testMakeFolder("xml-test");
    Fixture() {
        testWriteFile(dir + "/attachment.txt", testReadFile(dataDir() + "/attachment.txt"));
    }
    ~Fixture() {
        testFreeSigner(rsa);
        testFreeSigner(ec);
        testRun("rm -rf '" + dir + "'");
    }
};

Fixture& fx() {
    static Fixture f;
    return f;
}

// xmlsec1 takes the key from the certificate in KeyInfo and nowhere else.
int xmlsecVerify(const std::string& document, std::string* outLog = nullptr) {
    Fixture& f = fx();
    testWriteFile(f.dir + "/signed.xml", document);
    return testRun("cd '" + f.dir +
                       "' && xmlsec1 --verify --insecure --enabled-key-data x509 "
                       "--id-attr:Id Body --id-attr:Id Header signed.xml",
                   outLog);
}

XmlSignRequest requestFor(const std::string& document, const std::string& id) {
    XmlSignRequest r;
    r.document = document;
    r.signId = id;
    r.resolver = xmlFolderResolver({fx().dir});
    return r;
}

struct TemplateCase {
    const char* file;
    const char* signId;
    const char* key;
    const char* signedText; // a text inside the signed data, changed to prove the check
};

class XmlSignTemplate : public ::testing::TestWithParam<TemplateCase> {};

TEST_P(XmlSignTemplate, XmlsecVerifiesAndRejectsAChange) {
    const TemplateCase& c = GetParam();
    TestSigner& s = std::string(c.key) == "rsa" ? fx().rsa : fx().ec;
    std::string xml = testReadFile(dataDir() + "/" + c.file);
    if (s.name == "ec")
        xml = replaceAll(xml, "#rsa-sha256", "#ecdsa-sha256");

    std::string out;
    ASSERT_EQ(xmlSign(s.key, s.crt, requestFor(xml, c.signId), out), kCmsXmlOk);
    std::string log;
    EXPECT_EQ(xmlsecVerify(out, &log), 0) << log << out;
    EXPECT_NE(out.find("X509Certificate"), std::string::npos);

    std::string changed = out;
    size_t at = changed.find(c.signedText);
    ASSERT_NE(at, std::string::npos);
    changed[at] ^= 1;
    EXPECT_NE(xmlsecVerify(changed), 0);

    // Two steps: digests first, then the signature over them as they stand.
    std::string digested;
    XmlSignRequest first = requestFor(xml, c.signId);
    first.mode = kXmlSignDigestsOnly;
    ASSERT_EQ(xmlSign(nullptr, nullptr, first, digested), kCmsXmlOk);
    EXPECT_EQ(digested.find("<ds:DigestValue/>"), std::string::npos);
    XmlSignRequest second = requestFor(digested, c.signId);
    second.mode = kXmlSignGivenDigests;
    second.resolver = nullptr; // external data is not needed any more
    std::string twoStep;
    ASSERT_EQ(xmlSign(s.key, s.crt, second, twoStep), kCmsXmlOk);
    EXPECT_EQ(xmlsecVerify(twoStep, &log), 0) << log;
}

INSTANTIATE_TEST_SUITE_P(
    Templates, XmlSignTemplate,
    ::testing::Values(TemplateCase{"enveloped.xml", "SignatureOne", "rsa", "1250000"},
                      TemplateCase{"enveloped.xml", "SignatureOne", "ec", "Trading"},
                      TemplateCase{"multiref.xml", "sig-multi", "rsa", "Widget"},
                      TemplateCase{"multiref.xml", "sig-multi", "ec", "header text"}));

TEST(XmlSignTemplateErrors, DocumentedCodesAndOutputUnchanged) {
    Fixture& f = fx();
    const std::string env = testReadFile(dataDir() + "/enveloped.xml");
    struct Case {
        std::string xml;
        std::string id;
        long expected;
    } cases[] = {
        {testReadFile(dataDir() + "/no-id.xml"), "SignatureOne", kCmsXmlNoSignature},
        {env, "NoSuchId", kCmsXmlNoSignature},
        {env, "", kCmsXmlBadArgument},
        {testReadFile(dataDir() + "/malformed.xml"), "SignatureOne", kCmsXmlBadXml},
        {"", "SignatureOne", kCmsXmlBadXml},
        {replaceAll(env, "#rsa-sha256", "#hmac-sha256"), "SignatureOne", kCmsXmlBadAlgorithm},
        {replaceAll(env, "<ds:SignatureValue/>", ""), "SignatureOne", kCmsXmlBadTemplate},
        {replaceAll(env, "http://www.w3.org/2001/04/xmlenc#sha256", "urn:no-such-digest"),
         "SignatureOne", kCmsXmlDigestFailed},
    };
    for (const Case& c : cases) {
        std::string out = "unchanged";
        EXPECT_EQ(xmlSign(f.rsa.key, f.rsa.crt, requestFor(c.xml, c.id), out), c.expected) << c.xml;
        EXPECT_EQ(out, "unchanged");
    }
    // An RSA signature method with an EC key.
    std::string out = "unchanged";
    EXPECT_EQ(xmlSign(f.ec.key, f.ec.crt, requestFor(env, "SignatureOne"), out),
              kCmsXmlBadAlgorithm);
    // Unknown flag bits.
    XmlSignRequest flagged = requestFor(env, "SignatureOne");
    flagged.flags = 4;
    EXPECT_EQ(xmlSign(f.rsa.key, f.rsa.crt, flagged, out), kCmsXmlBadFlags);
    // Signing as it stands needs every DigestValue filled.
    XmlSignRequest given = requestFor(env, "SignatureOne");
    given.mode = kXmlSignGivenDigests;
    EXPECT_EQ(xmlSign(f.rsa.key, f.rsa.crt, given, out), kCmsXmlNoDigest);
    EXPECT_EQ(out, "unchanged");
}

TEST(XmlExternalReferences, OnlyThroughTheResolver) {
    Fixture& f = fx();
    const std::string multi = testReadFile(dataDir() + "/multiref.xml");
    std::string out;
    XmlSignRequest none = requestFor(multi, "sig-multi");
    none.resolver = nullptr;
    EXPECT_EQ(xmlSign(f.rsa.key, f.rsa.crt, none, out), kCmsXmlDigestFailed);

    // Names that try to leave the reference folder, or use a scheme.
    for (const char* uri : {"../attachment.txt", "/etc/passwd", "file:///etc/passwd",
                            "http://example.invalid/x", "sub/../attachment.txt"}) {
        XmlSignRequest r = requestFor(replaceAll(multi, "attachment.txt", uri), "sig-multi");
        EXPECT_EQ(xmlSign(f.rsa.key, f.rsa.crt, r, out), kCmsXmlDigestFailed) << uri;
    }

    auto resolver = xmlFolderResolver({"/nonexistent-folder", f.dir});
    std::string path;
    EXPECT_TRUE(resolver("attachment.txt", path));
    EXPECT_EQ(path.substr(path.size() - 15), "/attachment.txt");
    EXPECT_FALSE(resolver("missing.txt", path));
    // A link inside the folder that points outside it.
    ASSERT_EQ(symlink("/etc/hostname", (f.dir + "/escape.txt").c_str()), 0);
    EXPECT_FALSE(resolver("escape.txt", path));
}

TEST(XmlEncoding, FileKeepsItsEncodingAndStillVerifies) {
    Fixture& f = fx();
    std::string utf8 = testReadFile(dataDir() + "/enveloped.xml");
    utf8 = replaceAll(utf8, "encoding=\"UTF-8\"", "encoding=\"EUC-KR\"");
    testWriteFile(f.dir + "/utf8.xml", utf8);
    ASSERT_EQ(
        testRun("iconv -f UTF-8 -t EUC-KR '" + f.dir + "/utf8.xml' > '" + f.dir + "/euckr.xml'"),
        0);
    XmlSignRequest r = requestFor(testReadFile(f.dir + "/euckr.xml"), "SignatureOne");
    r.documentIsUtf8 = false;
    r.keepEncoding = true;
    std::string out;
    ASSERT_EQ(xmlSign(f.rsa.key, f.rsa.crt, r, out), kCmsXmlOk);
    EXPECT_NE(out.find("encoding=\"EUC-KR\""), std::string::npos);
    EXPECT_EQ(out.find("가나다"), std::string::npos); // not UTF-8 any more
    std::string log;
    EXPECT_EQ(xmlsecVerify(out, &log), 0) << log;
}

} // namespace
