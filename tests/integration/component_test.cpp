// A page's session through the real service over HTTPS, the real adapter and
// the real GPKI component against a SoftHSM2 token (tools/make-test-token).
// OpenSSL checks what the token signs, encrypts and decrypts.

#include "tests/integration/support/KestrovaITest.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

using Answer = std::map<std::string, std::string>;

constexpr const char* kModule = "/usr/lib/softhsm/libsofthsm2.so";
constexpr const char* kPin = "123456";
constexpr const char* kOpen =
    R"({"FunctionName":"KestrovaEcho","PathID":"5D21A7C94E3B4F08A6C2917E0B4D3F65",)"
    R"("minServerVersion":"1.0.22.0804","minLibVersion":"1.6.3.10080"})";
constexpr const char* kClsidFile = "{4B91F9EF-F244-622E-CE84-9671A85BDFE5}.component";
const std::string kArc = "2.25.188158944154708027246958907542712988009";

std::string readWhole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeWhole(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

// JSON string escaping for the few texts the tests send.
std::string jsonText(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\')
            out += '\\';
        if (c == '\n') {
            out += "\\n";
            continue;
        }
        out += c;
    }
    return out + "\"";
}

// The token, the component's registration and a running service.
struct World {
    std::string root, token, registry, exchange;
    std::string rsaDer64, ecDer64;
    std::unique_ptr<ITestService> service;
    std::string sessionId;

    ~World() {
        service.reset();
        std::error_code ignored;
        if (!root.empty() && getenv("KESTROVA_ITEST_KEEP") == nullptr)
            fs::remove_all(root, ignored);
    }

    bool start() {
        char pattern[] = "/tmp/kcomp_XXXXXX";
        if (!mkdtemp(pattern))
            return false;
        root = pattern;
        token = root + "/token";
        registry = root + "/com";
        fs::create_directories(registry);
        ITestCommandResult made =
            itestRunCommand({KESTROVA_MAKE_TEST_TOKEN, token, "--export-keys"});
        if (made.exitCode != 0) {
            ADD_FAILURE() << made.output;
            return false;
        }
        writeWhole(registry + "/" + kClsidFile, std::string(KESTROVA_COMPONENT_FILE) + "\n");
        rsaDer64 = derBase64(token + "/rsa.crt.pem");
        ecDer64 = derBase64(token + "/ec.crt.pem");

        ITestServiceOptions options;
        options.comRegistry = registry;
        options.environment = {
            {"SOFTHSM2_CONF", token + "/softhsm2.conf"},
            {"KESTROVA_PKCS11_MODULE", kModule},
            {"XDG_CONFIG_HOME", ""},
        };
        std::string error;
        service = itestPrepareService(options, &error);
        if (!service) {
            ADD_FAILURE() << error;
            return false;
        }
        exchange = service->home + "/ARDEQKestrova";
        fs::create_directories(exchange);
        if (!itestLaunchService(*service, &error)) {
            ADD_FAILURE() << error << "\n" << itestReadOutput(*service);
            return false;
        }
        Answer opened = post(kOpen);
        sessionId = opened.count("SessionID") ? opened.at("SessionID") : "";
        EXPECT_EQ("0", opened["result"]) << itestReadLog(*service);
        return !sessionId.empty();
    }

    static std::string derBase64(const std::string& pem) {
        ITestCommandResult r = itestRunCommand({"openssl", "x509", "-in", pem, "-outform", "DER"});
        return r.exitCode == 0 ? itestBase64Encode(r.output) : std::string();
    }

    Answer post(const std::string& json) {
        ITestCall request;
        request.port = service->ports.at(0);
        request.origin = "https://site.example";
        ITestReply reply = itestPostCall(json, request);
        if (!reply.transportOk() || reply.status != 200) {
            ADD_FAILURE() << "call " << json << ": curl " << reply.curlCode << " status "
                          << reply.status;
            return {};
        }
        auto answer = itestDecodeAnswer(reply.body);
        if (!answer) {
            ADD_FAILURE() << "not a flat object: " << reply.body;
            return {};
        }
        return *answer;
    }

    // A call of the session; keys is the rest of the JSON object ("" or
    // starting with ","). The "result" of the answer.
    std::string call(const std::string& function, const std::string& keys = "") {
        Answer answer = post("{\"FunctionName\":\"" + function + "\",\"SessionId\":\"" + sessionId +
                             "\"" + keys + "}");
        auto it = answer.find("result");
        return it == answer.end() ? "<absent>" : it->second;
    }

    std::string lastError() { return call("get_lastError"); }
};

std::string file(const std::string& folder, const std::string& name, const std::string& bytes) {
    std::string path = folder + "/" + name;
    writeWhole(path, bytes);
    return path;
}

class ComponentThroughService : public ::testing::Test {
  protected:
    World world;

    void SetUp() override {
        ITEST_REQUIRE_TLS_ROOTS();
        ASSERT_TRUE(world.start());
    }
};

// ---------------------------------------------------------------------------

TEST_F(ComponentThroughService, EnumeratesCertificatesAndReadsTheirFields) {
    EXPECT_EQ(world.ecDer64 + ";" + world.rsaDer64 + ";",
              world.call("GPKI_EnumCerts", R"(,"iFlags":"0")"));
    EXPECT_EQ(world.rsaDer64 + ";", world.call("GPKI_EnumCerts", R"(,"iFlags":"2")"));
    EXPECT_EQ(world.ecDer64 + ";" + world.rsaDer64 + ";",
              world.call("GPKI_EnumCertsToString", R"(,"iFlags":"1")"));
    EXPECT_EQ("1", world.call("GPKI_GetSlotCount"));
    EXPECT_EQ("1", world.call("GPKI_DetectCard", R"(,"iFlags":"0")"));
    EXPECT_FALSE(world.call("GPKI_GetSerialNumber").empty());

    struct Case {
        const char* function;
        const char* certKey;
        const std::string* cert;
        int flags;
        std::string expected;
    };
    const Case cases[] = {
        {"CAPICertGetSerialNumber", "strCert", &world.rsaDer64, 0, "0A1B2C3D4E5F6071"},
        {"CAPICertGetIssuer", "strCert", &world.rsaDer64, 1, "Kestrova Test Authority"},
        {"CAPICertGetSubject", "strCert", &world.ecDer64, 1, "王小明 EC"},
        {"CAPICertGetVersion", "strCert", &world.ecDer64, 0, "3"},
        {"GPKI_GetTailOfCitizenID", "strCert", &world.rsaDer64, 0, "6789"},
        {"GPKI_GetOrganizationID", "strCert", &world.rsaDer64, 0, "NTRTW-12345678"},
        {"GPKI_GetCardHolderRank", "strCert", &world.rsaDer64, 0, "科長"},
        {"GPKI_GetCertTypeOID", "strCert", &world.rsaDer64, 0, kArc + ".3.1"},
        {"GPKI_GetEntityOID", "cert", &world.ecDer64, 0, kArc + ".2.1"},
        {"GPKI_GetCertType", "strCert", &world.rsaDer64, 0, "3"},
        {"GPKI_GetCertType", "strCert", &world.ecDer64, 0, "1"},
        {"CryptCertGetSignatureAlgorithm", "strCert", &world.ecDer64, 0, "RSA-SHA256"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.expected, world.call(c.function, std::string(",\"") + c.certKey + "\":" +
                                                         jsonText(*c.cert) + ",\"iFlags\":\"" +
                                                         std::to_string(c.flags) + "\""))
            << c.function;
    }
    std::string attrs =
        world.call("GPKI_CertGetSubjectDirectoryAttrs",
                   ",\"strCert\":" + jsonText(world.rsaDer64) + R"(,"strOID":"","iFlags":"0")");
    EXPECT_NE(std::string::npos, attrs.find("1.3.6.1.5.5.7.9.4=TW;2.5.4.12=科長")) << attrs;
    // The PEM form of a certificate serves as well.
    EXPECT_EQ("0B1C2D3E4F506172",
              world.call("CAPICertGetSerialNumber",
                         ",\"strCert\":" + jsonText(readWhole(world.token + "/ec.crt.pem")) +
                             R"(,"iFlags":"0")"));
    // A certificate that does not parse: the component's error, then its reason.
    EXPECT_EQ("61011",
              world.call("CAPICertGetSubject", R"(,"strCert":"bm90IGEgY2VydA==","iFlags":"0")"));
    EXPECT_EQ("63013", world.lastError());
}

TEST_F(ComponentThroughService, VerifiesPinsOnTheToken) {
    EXPECT_EQ("3", world.call("GPKI_GetErrorPINCount"));
    EXPECT_EQ("61011", world.call("GPKI_VerifyPIN", R"(,"bPIN":"000000","iFlags":"0")"));
    EXPECT_EQ("63008", world.lastError());
    EXPECT_EQ("2", world.call("GPKI_GetErrorPINCount")); // SoftHSM2 reports "count low"
    EXPECT_EQ("0", world.call("GPKI_VerifyPIN",
                              std::string(R"(,"bPIN":")") + kPin + R"(","iFlags":"0")"));
    EXPECT_EQ("0", world.lastError());
    EXPECT_EQ("3", world.call("GPKI_GetErrorPINCount"));
    // A wrong PIN is refused even while the token is logged in.
    EXPECT_EQ("61011", world.call("GPKI_VerifyPIN", R"(,"bPIN":"999999","iFlags":"0")"));
    EXPECT_EQ("63008", world.lastError());
    // The log (the service's, the adapter's and the component's lines) never
    // holds a PIN, right or wrong.
    std::string log = itestReadLog(*world.service);
    EXPECT_NE(std::string::npos, log.find("[GpkiComponent]"));
    for (const char* pin : {kPin, "000000", "999999"})
        EXPECT_EQ(std::string::npos, log.find(pin)) << pin;
}

TEST_F(ComponentThroughService, PureSignaturesVerifyWithOpenSsl) {
    struct Case {
        const char* name;
        int flags;
        int hashFlag;
        const char* digest;
        std::string data;
        std::string codePage;
        std::string signedBytes;
        const char* cert;
    };
    const Case cases[] = {
        {"RSA SHA-256 UTF-8", 0x10, 0, "-sha256", "sign me 中文", "UTF-8", "sign me 中文", "rsa"},
        {"RSA SHA-384 Big5", 0x10, 3, "-sha384", "中文", "950", std::string("\xA4\xA4\xA4\xE5", 4),
         "rsa"},
        {"EC SHA-256", 0x20, 0, "-sha256", "sign me", "", "sign me", "ec"},
        {"EC SHA-512", 0x20, 4, "-sha512", "中文", "65001", "中文", "ec"},
    };
    std::string pub = world.root + "/pub.pem";
    for (const Case& c : cases) {
        std::string sig64 =
            world.call("GPKI_PureSign",
                       std::string(R"(,"sOptPIN":")") + kPin + "\",\"sData\":" + jsonText(c.data) +
                           ",\"signcodepage\":" + jsonText(c.codePage) + ",\"iFlags\":\"" +
                           std::to_string(c.flags) + "\",\"iHashFlag\":\"" +
                           std::to_string(c.hashFlag) + "\"");
        auto sig = itestBase64Decode(sig64);
        ASSERT_TRUE(sig.has_value())
            << c.name << ": " << sig64 << " lastError " << world.lastError();
        std::string sigFile = file(world.root, "sig.bin", *sig);
        std::string dataFile = file(world.root, "data.bin", c.signedBytes);
        ITestCommandResult key =
            itestRunCommand({"openssl", "x509", "-in", world.token + "/" + c.cert + ".crt.pem",
                             "-pubkey", "-noout"});
        writeWhole(pub, key.output);
        ITestCommandResult verified = itestRunCommand(
            {"openssl", "dgst", c.digest, "-verify", pub, "-signature", sigFile, dataFile});
        EXPECT_EQ(0, verified.exitCode) << c.name << ": " << verified.output;
    }
    // The key verifies through pkeyutl too (the digest signed directly).
    std::string sig64 = world.call(
        "GPKI_PureSign",
        R"(,"sOptPIN":"","sData":"abc","signcodepage":"","iFlags":"32","iHashFlag":"0")");
    std::string digest = file(
        world.root, "digest.bin",
        itestRunCommand({"openssl", "dgst", "-sha256", "-binary", file(world.root, "abc", "abc")})
            .output);
    std::string sigFile = file(world.root, "sig2.bin", itestBase64Decode(sig64).value_or(""));
    ITestCommandResult verified =
        itestRunCommand({"openssl", "pkeyutl", "-verify", "-certin", "-inkey",
                         world.token + "/ec.crt.pem", "-in", digest, "-sigfile", sigFile});
    EXPECT_EQ(0, verified.exitCode) << verified.output;
}

TEST_F(ComponentThroughService, RsaEncryptionAndDecryptionMeetOpenSsl) {
    std::string cipher64 =
        world.call("GPKI_RSAEncryptByCert", ",\"strCert\":" + jsonText(world.rsaDer64) +
                                                R"(,"strData":"confidential 中文","iFlags":"0")");
    auto cipher = itestBase64Decode(cipher64);
    ASSERT_TRUE(cipher.has_value()) << cipher64;
    ITestCommandResult clear =
        itestRunCommand({"openssl", "pkeyutl", "-decrypt", "-inkey", world.token + "/rsa.key.pem",
                         "-in", file(world.root, "c.bin", *cipher)});
    EXPECT_EQ(0, clear.exitCode);
    EXPECT_EQ("confidential 中文", clear.output);

    std::string plain = file(world.root, "plain.txt", "from openssl 中文");
    std::string out = world.root + "/c2.bin";
    ASSERT_EQ(0, itestRunCommand({"openssl", "pkeyutl", "-encrypt", "-certin", "-inkey",
                                  world.token + "/rsa.crt.pem", "-in", plain, "-out", out})
                     .exitCode);
    EXPECT_EQ("from openssl 中文",
              world.call("GPKI_RSADecrypt",
                         ",\"strCipher\":" + jsonText(itestBase64Encode(readWhole(out))) +
                             ",\"strPinCode\":\"" + kPin + "\",\"iFlags\":\"0\""));
    EXPECT_EQ("61011", world.call("GPKI_RSADecrypt",
                                  ",\"strCipher\":" + jsonText(itestBase64Encode(readWhole(out))) +
                                      R"(,"strPinCode":"111111","iFlags":"0")"));
    EXPECT_EQ("63008", world.lastError());
}

TEST_F(ComponentThroughService, Base64RoundTripsInCodePages) {
    struct Case {
        std::string text;
        std::string codePage;
        std::string base64;
    };
    const Case cases[] = {
        {"中文 text", "UTF-8", itestBase64Encode("中文 text")},
        {"中文", "65001", "5Lit5paH"},
        {"中文", "950", "pKSk5Q=="},
        {"中文", "Big5", "pKSk5Q=="},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.base64,
                  world.call("GPKI_Base64Encode", ",\"srcData\":" + jsonText(c.text) +
                                                      ",\"codePage\":" + jsonText(c.codePage)))
            << c.codePage;
        EXPECT_EQ(c.text,
                  world.call("GPKI_Base64Decode", ",\"base64String\":" + jsonText(c.base64) +
                                                      ",\"outCodePage\":" + jsonText(c.codePage)))
            << c.codePage;
    }
    EXPECT_EQ("61011",
              world.call("GPKI_Base64Decode", R"(,"base64String":"pA==","outCodePage":"950")"));
    EXPECT_EQ("63016", world.lastError());
    // SetCodePage answers "0" and changes the default code page.
    EXPECT_EQ("0", world.call("SetCodePage", R"(,"codePage":"950")"));
    EXPECT_EQ("pKSk5Q==", world.call("GPKI_Base64Encode", R"(,"srcData":"中文","codePage":"")"));
}

TEST_F(ComponentThroughService, KeyChecksAndFailuresAnswerTheirCodes) {
    const std::string pureSign = "Ready into component func: GPKI_PureSign";
    int before = itestCountLogLines(*world.service, pureSign);
    // A missing key with "AdapterJsonKeyCheck": the component is not called.
    EXPECT_EQ("61016",
              world.call("GPKI_PureSign", R"(,"AdapterJsonKeyCheck":"TRUE","sOptPIN":"123456",)"
                                          R"("signcodepage":"","iFlags":"0","iHashFlag":"0")"));
    EXPECT_EQ(before, itestCountLogLines(*world.service, pureSign));
    EXPECT_EQ("61016",
              world.call("CAPICertGetSubject", R"(,"AdapterJsonKeyCheck":"true","iFlags":"0")"));
    // Without it the call goes ahead with an empty text.
    EXPECT_EQ("61011",
              world.call("GPKI_PureSign",
                         R"(,"sOptPIN":"","signcodepage":"","iFlags":"0","iHashFlag":"0")"));
    EXPECT_EQ(before + 1, itestCountLogLines(*world.service, pureSign));
    EXPECT_EQ("63007", world.lastError()); // no PIN and no login of this session
    // The token holds no attribute certificate.
    EXPECT_EQ("61011",
              world.call("GPKI_GetAttributeCert", R"(,"strReader":"","strPIN":"","iFlags":"0")"));
    EXPECT_EQ("63011", world.lastError());
    // A page cannot make the service load a library of its choice.
    EXPECT_EQ("61011",
              world.call("GPKI_SetPKCS11Driver", R"(,"bPath":"/lib/x86_64-linux-gnu/libz.so.1")"));
    EXPECT_EQ("63003", world.lastError());
    EXPECT_EQ("1",
              world.call("GPKI_SetPKCS11Driver", std::string(R"(,"bPath":")") + kModule + "\""));
}

TEST_F(ComponentThroughService, ReadsFilesOnlyInsideTheAllowedFolders) {
    file(world.exchange, "page.txt", "exchange 中文");
    std::string outside = file(world.root, "secret.txt", "secret");
    symlink(outside.c_str(), (world.exchange + "/link.txt").c_str());

    EXPECT_EQ(
        "exchange 中文",
        world.call("GPKI_ReadFile", ",\"strFilepath\":" + jsonText(world.exchange + "/page.txt") +
                                        R"(,"flags":"0")"));
    EXPECT_EQ(itestBase64Encode("exchange 中文"),
              world.call("GPKI_ReadFile", R"(,"strFilepath":"page.txt","flags":"1")"));
    const std::string refused[] = {
        "/etc/passwd",
        outside,
        world.exchange + "/../../../../../../../../../etc/passwd",
        world.exchange + "/link.txt",
        "../secret.txt",
    };
    for (const std::string& path : refused) {
        EXPECT_EQ("61011", world.call("GPKI_ReadFile",
                                      ",\"strFilepath\":" + jsonText(path) + R"(,"flags":"0")"))
            << path;
        EXPECT_EQ("63023", world.lastError()) << path;
    }
}

} // namespace
