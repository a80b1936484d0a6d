// The component's XML signature methods on a SoftHSM2 token, checked by
// xmlsec1; the file variants against the allowed folders.

#include "component/Cms.h"

#include "tests/integration/cms_token.h"

#include <sys/stat.h>

namespace {

::testing::Environment* const tokenEnvironment =
    ::testing::AddGlobalTestEnvironment(new CmsTokenEnvironment);

std::string dataFile(const std::string& name) {
    const char* d = getenv("KESTROVA_TEST_DATA");
    return testReadFile(std::string(d ? d : "tests/data") + "/xml/" + name);
}

std::string forKey(std::string xml, long kind) {
    if (kind == kKeyKindEc)
        for (size_t at = xml.find("#rsa-sha256"); at != std::string::npos;
             at = xml.find("#rsa-sha256"))
            xml.replace(at, 11, "#ecdsa-sha256");
    return xml;
}

int xmlsecVerify(const std::string& document, std::string* log = nullptr) {
    CmsToken& t = cmsToken();
    testWriteFile(t.root + "/signed.xml", document);
    testWriteFile(t.root + "/attachment.txt", dataFile("attachment.txt"));
    return testRun(
        "cd '" + t.root + "' && xmlsec1 --verify --enabled-key-data x509 --trusted-pem '" +
            tokenFile("ca.crt.pem") + "' --id-attr:Id Body --id-attr:Id Header signed.xml",
        log);
}

class XmlOnToken : public ::testing::TestWithParam<long> {};

TEST_P(XmlOnToken, EveryVariantVerifiesWithXmlsec) {
    const long kind = GetParam();
    CmsToken& t = cmsToken();
    ComponentFixture c;
    auto guard = tokenLock();
    const std::string env = forKey(dataFile("enveloped.xml"), kind);
    const std::string multi = forKey(dataFile("multiref.xml"), kind);
    testWriteFile(t.allowed + "/attachment.txt", dataFile("attachment.txt"));
    c.state.xmlReferenceDirs = {t.allowed};
    std::string log, out, unused;

    ASSERT_EQ(componentXml(c.state, kXmlSignTemplate, t.pin, env, "", "SignatureOne", kind, out),
              kTokenOk);
    EXPECT_EQ(xmlsecVerify(out, &log), 0) << log;
    std::string changed = out;
    changed[changed.find("1250000")] = '9';
    EXPECT_NE(xmlsecVerify(changed), 0);

    ASSERT_EQ(componentXml(c.state, kXmlSignTemplate, "", multi, "", "sig-multi", kind, out),
              kTokenOk);
    EXPECT_EQ(xmlsecVerify(out, &log), 0) << log;

    // File in, text out; file in, file out.
    testWriteFile(t.allowed + "/in.xml", env);
    ASSERT_EQ(componentXml(c.state, kXmlSignTemplateFile, t.pin, t.allowed + "/in.xml", "",
                           "SignatureOne", kind, out),
              kTokenOk);
    EXPECT_EQ(xmlsecVerify(out, &log), 0) << log;
    ASSERT_EQ(componentXml(c.state, kXmlSignTemplateFile2File, t.pin, t.allowed + "/in.xml",
                           t.allowed + "/out.xml", "SignatureOne", kind, unused),
              kTokenOk);
    EXPECT_EQ(xmlsecVerify(testReadFile(t.allowed + "/out.xml"), &log), 0) << log;

    // Two steps: digests, then the signature (to text and to a file).
    std::string digested;
    ASSERT_EQ(
        componentXml(c.state, kXmlCalcTemplateDigest, "", multi, "", "sig-multi", 0, digested),
        kTokenOk);
    std::string fileDigested;
    testWriteFile(t.allowed + "/multi.xml", multi);
    ASSERT_EQ(componentXml(c.state, kXmlCalcTemplateFileDigest, "", t.allowed + "/multi.xml", "",
                           "sig-multi", 0, fileDigested),
              kTokenOk);
    EXPECT_EQ(fileDigested, digested);
    c.state.xmlReferenceDirs.clear(); // the second step needs no external data
    ASSERT_EQ(
        componentXml(c.state, kXmlSignTemplateDigest, t.pin, digested, "", "sig-multi", kind, out),
        kTokenOk);
    EXPECT_EQ(xmlsecVerify(out, &log), 0) << log;
    ASSERT_EQ(componentXml(c.state, kXmlSignTemplateDigest2File, t.pin, digested,
                           t.allowed + "/d2f.xml", "sig-multi", kind, unused),
              kTokenOk);
    EXPECT_EQ(xmlsecVerify(testReadFile(t.allowed + "/d2f.xml"), &log), 0) << log;

    // Update variants sign on the login of SignInit, without a PIN.
    long n = 0;
    ASSERT_EQ(componentSignStep(c.state, kSignInit, t.pin, kind, n), kTokenOk);
    ASSERT_EQ(componentXml(c.state, kXmlSignTemplateUpdate, "", env, "", "SignatureOne", 0, out),
              kTokenOk);
    EXPECT_EQ(xmlsecVerify(out, &log), 0) << log;
    ASSERT_EQ(componentXml(c.state, kXmlSignTemplateFileUpdate, "", t.allowed + "/in.xml", "",
                           "SignatureOne", 0, out),
              kTokenOk);
    EXPECT_EQ(xmlsecVerify(out, &log), 0) << log;
    ASSERT_EQ(
        componentXml(c.state, kXmlSignTemplateDigestUpdate, "", digested, "", "sig-multi", 0, out),
        kTokenOk);
    EXPECT_EQ(xmlsecVerify(out, &log), 0) << log;
    ASSERT_EQ(componentSignStep(c.state, kSignFinal, "", 0, n), kTokenOk);
    EXPECT_EQ(componentXml(c.state, kXmlSignTemplateUpdate, "", env, "", "SignatureOne", 0, out),
              kCmsXmlNoSession);
}

INSTANTIATE_TEST_SUITE_P(Keys, XmlOnToken, ::testing::Values(kKeyKindRsa, kKeyKindEc));

TEST(XmlOnTokenErrors, DocumentedErrorsChangeNoFile) {
    CmsToken& t = cmsToken();
    ComponentFixture c;
    auto guard = tokenLock();
    const std::string env = dataFile("enveloped.xml");
    testWriteFile(t.allowed + "/good.xml", env);
    testWriteFile(t.allowed + "/no-id.xml", dataFile("no-id.xml"));
    testWriteFile(t.allowed + "/malformed.xml", dataFile("malformed.xml"));
    testWriteFile(t.outside + "/good.xml", env);
    const std::string target = t.allowed + "/target.xml";
    testWriteFile(target, "previous contents");

    struct Case {
        const char* what;
        std::string pin, in, out;
        long expected;
    } cases[] = {
        {"no Id", t.pin, t.allowed + "/no-id.xml", target, kCmsXmlNoSignature},
        {"malformed", t.pin, t.allowed + "/malformed.xml", target, kCmsXmlBadXml},
        {"wrong PIN", "000000", t.allowed + "/good.xml", target, kTokenPinIncorrect},
        {"input outside", t.pin, t.outside + "/good.xml", target, kTokenPathRefused},
        {"output outside", t.pin, t.allowed + "/good.xml", t.outside + "/new.xml",
         kTokenPathRefused},
        {"input missing", t.pin, t.allowed + "/missing.xml", target, kTokenPathRefused},
    };
    std::string unused;
    for (const Case& k : cases) {
        EXPECT_EQ(componentXml(c.state, kXmlSignTemplateFile2File, k.pin, k.in, k.out,
                               "SignatureOne", kKeyKindRsa, unused),
                  k.expected)
            << k.what;
        EXPECT_EQ(testReadFile(target), "previous contents") << k.what;
        EXPECT_EQ(access((t.outside + "/new.xml").c_str(), F_OK), -1) << k.what;
    }
    // The same errors for the text variants.
    std::string out = "unchanged";
    EXPECT_EQ(componentXml(c.state, kXmlSignTemplate, t.pin, dataFile("no-id.xml"), "",
                           "SignatureOne", kKeyKindRsa, out),
              kCmsXmlNoSignature);
    EXPECT_EQ(componentXml(c.state, kXmlSignTemplate, t.pin, "<a><b></a>", "", "SignatureOne",
                           kKeyKindRsa, out),
              kCmsXmlBadXml);
    EXPECT_EQ(componentXml(c.state, kXmlSignTemplate, t.pin, env, "", "", kKeyKindRsa, out),
              kCmsXmlBadArgument);
    EXPECT_EQ(out, "unchanged");
}

} // namespace
