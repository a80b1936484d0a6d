// The main CMS and XML cases through the real service over HTTPS: a page's
// calls reach the real adapter and the real GPKI component on a SoftHSM2
// token; openssl and xmlsec1 check what comes back.

#include "tests/integration/session_support.h"
#include "tests/unit/cms_testkeys.h"

namespace {

using namespace sessiontest;

// JSON text of a string value (the page's encoder escapes quotes, backslashes
// and control characters; values here are plain or Base64).
std::string q(const std::string& value) {
    return "\"" + value + "\"";
}

// A value passed Base64-encoded with its companion flag, as pages do for texts
// with quotes and line breaks (XML, PEM).
std::string b64(const std::string& key, const std::string& value) {
    return ",\"" + key + "\":" + q(itestBase64Encode(value)) + ",\"" + key +
           "_KestrovaBase64Flag\":\"true\"";
}

std::string dataFile(const std::string& name) {
    const char* d = getenv("KESTROVA_TEST_DATA");
    return testReadFile(std::string(d ? d : "tests/data") + "/xml/" + name);
}

struct ServiceWithToken {
    std::string root = testMakeFolder("cmsxml-svc");
    std::string token = root + "/token";
    std::unique_ptr<SessionService> service;
    std::string id;

    ServiceWithToken() {
        std::string log;
        if (testRun(std::string(KESTROVA_TEST_MAKE_TOKEN) + " '" + token + "' --export-keys",
                    &log) != 0) {
            ADD_FAILURE() << log;
            return;
        }
        testRun("mkdir -p '" + root + "/allowed' '" + root + "/config/ARDEQKestrova'");
        testWriteFile(root + "/config/ARDEQKestrova/component.conf",
                      "folder = " + root + "/allowed\n");
        service =
            startSessionService({{"SOFTHSM2_CONF", token + "/softhsm2.conf"},
                                 {"KESTROVA_PKCS11_MODULE", "/usr/lib/softhsm/libsofthsm2.so"},
                                 {"XDG_CONFIG_HOME", root + "/config"}});
        if (service)
            id = openSession(*service);
    }
    ~ServiceWithToken() {
        service.reset();
        testRun("rm -rf '" + root + "'");
    }
    Answer call(const std::string& function, const std::string& params) {
        return callSession(*service, id, function, params);
    }
    std::string result(const std::string& function, const std::string& params) {
        return field(call(function, params), "result");
    }
};

int opensslVerify(ServiceWithToken& s, const std::string& b64Cms, std::string& outContent) {
    auto der = itestBase64Decode(b64Cms);
    if (!der)
        return -1;
    testWriteFile(s.root + "/sig.der", *der);
    std::string log;
    int rc =
        testRun("openssl cms -verify -binary -inform DER -in '" + s.root + "/sig.der' -CAfile '" +
                    s.token + "/ca.crt.pem' -purpose any -out '" + s.root + "/content.bin'",
                &log);
    outContent = testReadFile(s.root + "/content.bin");
    return rc;
}

class CmsOverHttps : public ::testing::TestWithParam<const char*> {};

TEST_P(CmsOverHttps, SignMultiPartEncryptDecryptAndXml) {
    SESSION_REQUIRE_SERVICE();
    const std::string kind = std::string(GetParam()) == "rsa" ? "16" : "32";
    ServiceWithToken s;
    ASSERT_NE(s.service, nullptr);
    ASSERT_FALSE(s.id.empty());
    const std::string pin = ",\"sOptPIN\":\"123456\"";

    // One-shot SignedData.
    std::string signedData =
        s.result("GPKI_SignData", pin + b64("sData", "page text 한글") +
                                      ",\"signcodepage\":\"UTF-8\",\"iFlags\":" + q(kind) +
                                      ",\"iHashFlag\":\"0\"");
    std::string content;
    EXPECT_EQ(opensslVerify(s, signedData, content), 0) << signedData;
    EXPECT_EQ(content, "page text 한글");
    EXPECT_EQ(s.result("CryptSignatureGetAlgorithm",
                       ",\"strSignature\":" + q(signedData) + ",\"iFlags\":\"0\",\"index\":\"0\""),
              kind == "16" ? "RSA-SHA256" : "ECDSA-SHA256");

    // Multi-part on one login: two parts announced, the third signs.
    EXPECT_EQ(s.result("GPKI_SignDataInit", pin + ",\"lFlags\":" + q(kind)), "0");
    const std::string more = ",\"signcodepage\":\"\",\"iFlags\":\"512\",\"iHashFlag\":\"0\"";
    EXPECT_EQ(s.result("GPKI_SignDataUpdate", ",\"sData\":\"part one, \"" + more), "");
    EXPECT_EQ(s.result("GPKI_SignDataUpdate", ",\"sData\":\"part two, \"" + more), "");
    std::string multi = s.result(
        "GPKI_SignDataUpdate",
        ",\"sData\":\"part three\",\"signcodepage\":\"\",\"iFlags\":\"0\",\"iHashFlag\":\"0\"");
    EXPECT_EQ(opensslVerify(s, multi, content), 0) << multi;
    EXPECT_EQ(content, "part one, part two, part three");
    EXPECT_EQ(s.result("GPKI_SignDataFinal", ",\"lFlags\":\"0\""), "0");

    // XML: the enveloped template, verified by xmlsec1 against the token's authority.
    std::string xml = dataFile("enveloped.xml");
    if (kind == "32")
        xml.replace(xml.find("#rsa-sha256"), 11, "#ecdsa-sha256");
    std::string signedXml = s.result("GPKI_XMLSignTemplate",
                                     ",\"bstrPIN\":\"123456\"" + b64("bstrXML", xml) +
                                         ",\"bstrSignId\":\"SignatureOne\",\"iFlags\":" + q(kind));
    testWriteFile(s.root + "/signed.xml", signedXml);
    std::string log;
    EXPECT_EQ(testRun("xmlsec1 --verify --enabled-key-data x509 --trusted-pem '" + s.token +
                          "/ca.crt.pem' '" + s.root + "/signed.xml'",
                      &log),
              0)
        << log << signedXml;

    // A template without the Id: the component's error, its code in lastError.
    EXPECT_EQ(s.result("GPKI_XMLSignTemplate",
                       ",\"bstrPIN\":\"123456\"" + b64("bstrXML", dataFile("no-id.xml")) +
                           ",\"bstrSignId\":\"SignatureOne\",\"iFlags\":\"0\""),
              "61011");
    EXPECT_EQ(s.result("get_lastError", ""), "62021");
    // A wrong PIN likewise.
    EXPECT_EQ(s.result("GPKI_SignData",
                       ",\"sOptPIN\":\"000000\",\"sData\":\"x\",\"signcodepage\":\"\",\"iFlags\":" +
                           q(kind) + ",\"iHashFlag\":\"0\""),
              "61011");
    EXPECT_EQ(s.result("get_lastError", ""), "63008");
}

INSTANTIATE_TEST_SUITE_P(Keys, CmsOverHttps, ::testing::Values("rsa", "ec"));

TEST(CmsOverHttpsEnveloped, EncryptForOpensslAndDecryptWhatOpensslMade) {
    SESSION_REQUIRE_SERVICE();
    ServiceWithToken s;
    ASSERT_NE(s.service, nullptr);
    const std::string cert = testReadFile(s.token + "/rsa.crt.pem");
    std::string envelope =
        s.result("GPKI_EncryptByCert",
                 b64("strCert", cert) + b64("strData", "비밀 secret") + ",\"iFlags\":\"0\"");
    auto der = itestBase64Decode(envelope);
    ASSERT_TRUE(der.has_value()) << envelope;
    testWriteFile(s.root + "/env.der", *der);
    std::string log;
    ASSERT_EQ(testRun("openssl cms -decrypt -binary -inform DER -in '" + s.root +
                          "/env.der' -inkey '" + s.token + "/rsa.key.pem' -out '" + s.root +
                          "/clear.txt'",
                      &log),
              0)
        << log;
    EXPECT_EQ(testReadFile(s.root + "/clear.txt"), "비밀 secret");

    testWriteFile(s.root + "/in.txt", "from openssl");
    ASSERT_EQ(testRun("openssl cms -encrypt -binary -aes-256-cbc -outform DER -in '" + s.root +
                          "/in.txt' -out '" + s.root + "/o.der' '" + s.token + "/rsa.crt.pem'",
                      &log),
              0)
        << log;
    const std::string cipher = itestBase64Encode(testReadFile(s.root + "/o.der"));
    EXPECT_EQ(s.result("GPKI_DecryptEx", ",\"sOptPIN\":\"123456\",\"strCipher\":" + q(cipher) +
                                             ",\"iFlags\":\"0\",\"iKeyUsage\":\"0\""),
              "from openssl");
    // The login of DecryptEx serves the PIN-less GPKI_Decrypt of the same page.
    EXPECT_EQ(s.result("GPKI_Decrypt",
                       ",\"strCipher\":" + q(cipher) + ",\"iFlags\":\"0\",\"iKeyUsage\":\"0\""),
              "from openssl");
}

} // namespace
