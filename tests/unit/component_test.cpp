// The GPKI component library loaded the way the adapter loads it (a
// registration file and CoCreateInstance) against a real SoftHSM2 token made
// by tools/make-test-token; OpenSSL checks what the token signs and encrypts.

#include "common/com/Com.h"
#include "common/com/ComText.h"
#include "common/com/GpkiComponent.h"
#include "component/ComponentMethods.h"
#include "component/FileAccess.h"
#include "component/Token.h"
#include "tests/helpers/TestHelpers.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <string>
#include <vector>

using kestrova_test::TempFolder;

namespace {

const char* kModule = "/usr/lib/softhsm/libsofthsm2.so";
const char* kPin = "123456";

// Runs a shell command; its standard output, and the exit status in status.
std::string run(const std::string& command, int* status = nullptr) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe)
        return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, pipe)) > 0)
        out.append(buf, n);
    int rc = pclose(pipe);
    if (status)
        *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    return out;
}

std::string shellQuote(const std::string& s) {
    std::string out = "'";
    for (char c : s)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// One token, home and registry for the whole test process (GnuTLS reads the
// PKCS#11 configuration once per process).
struct World {
    TempFolder root{"kestrova-component"};
    std::string token, home, exchange, registry;
    std::string rsaPem, ecPem, rsaDer64, ecDer64;
    bool ready = false;

    World() {
        token = root.folder("token");
        home = root.folder("home");
        exchange = root.folder("home/ARDEQKestrova");
        registry = root.folder("com");
        int status = -1;
        run(std::string(KESTROVA_MAKE_TEST_TOKEN) + " " + shellQuote(token) +
                " --export-keys >/dev/null 2>&1",
            &status);
        if (status != 0)
            return;
        setenv("SOFTHSM2_CONF", (token + "/softhsm2.conf").c_str(), 1);
        setenv("KESTROVA_PKCS11_MODULE", kModule, 1);
        setenv("HOME", home.c_str(), 1);
        setenv("XDG_CONFIG_HOME", (home + "/.config").c_str(), 1);
        setenv("KESTROVA_COM_REGISTRY", registry.c_str(), 1);
        kestrova_test::writeFile(registry + "/{4B91F9EF-F244-622E-CE84-9671A85BDFE5}.component",
                                 std::string(KESTROVA_COMPONENT_FILE) + "\n");
        rsaPem = kestrova_test::readFile(token + "/rsa.crt.pem");
        ecPem = kestrova_test::readFile(token + "/ec.crt.pem");
        rsaDer64 = derBase64(token + "/rsa.crt.pem");
        ecDer64 = derBase64(token + "/ec.crt.pem");
        ready = !rsaDer64.empty() && !ecDer64.empty();
    }

    static std::string derBase64(const std::string& pem) {
        std::string out = run("openssl x509 -in " + shellQuote(pem) + " -outform DER | base64 -w0");
        return out;
    }
};

bool worldMade = false;

World& world() {
    static World w;
    worldMade = true;
    return w;
}

struct BstrFree {
    void operator()(OLECHAR* b) const { SysFreeString(b); }
};
using Bstr = std::unique_ptr<OLECHAR, BstrFree>;

Bstr bstr(const std::string& utf8) {
    BSTR b = nullptr;
    EXPECT_EQ(S_OK, bstrFromUtf8Length(utf8.data(), utf8.size(), &b));
    return Bstr(b);
}

std::string utf8(BSTR b) {
    char* text = nullptr;
    if (FAILED(utf8FromBstr(b, &text)) || !text)
        return std::string();
    std::string out(text);
    free(text);
    return out;
}

// A BSTR result taken over and turned into UTF-8.
std::string take(BSTR b) {
    std::string out = utf8(b);
    SysFreeString(b);
    return out;
}

class ComponentTest : public ::testing::Test {
  protected:
    IGpkiComponent* component = nullptr;

    void SetUp() override {
        ASSERT_TRUE(world().ready) << "make-test-token failed";
        CoInitialize(nullptr);
        component = create();
        ASSERT_NE(nullptr, component);
    }
    void TearDown() override {
        if (component)
            component->Release();
    }

    static IGpkiComponent* create() {
        void* object = nullptr;
        HRESULT hr =
            CoCreateInstance(CLSID_GpkiComponent, nullptr, CLSCTX_ALL, IID_IGpkiComponent, &object);
        EXPECT_EQ(S_OK, hr);
        return static_cast<IGpkiComponent*>(object);
    }

    LONG lastError(IGpkiComponent* c = nullptr) {
        LONG value = -1;
        EXPECT_EQ(S_OK, (c ? c : component)->get_lastError(&value));
        return value;
    }

    std::vector<std::string> enumCerts(LONG flags, HRESULT* outHr = nullptr) {
        VARIANT v;
        VariantInit(&v);
        HRESULT hr = component->GPKI_EnumCerts(flags, &v);
        if (outHr)
            *outHr = hr;
        std::vector<std::string> out;
        if (SUCCEEDED(hr)) {
            EXPECT_EQ(VT_ARRAY | VT_VARIANT, v.vt);
            LONG lo = 0, hi = -1;
            SafeArrayGetLBound(v.parray, 1, &lo);
            SafeArrayGetUBound(v.parray, 1, &hi);
            for (LONG i = lo; i <= hi; ++i) {
                VARIANT item;
                VariantInit(&item);
                EXPECT_EQ(S_OK, SafeArrayGetElement(v.parray, &i, &item));
                EXPECT_EQ(VT_BSTR, item.vt);
                out.push_back(utf8(item.bstrVal));
                VariantClear(&item);
            }
        }
        VariantClear(&v);
        return out;
    }

    std::string textCall(HRESULT (IGpkiComponent::*method)(BSTR, LONG, BSTR*),
                         const std::string& cert, LONG flags, HRESULT* outHr = nullptr) {
        BSTR out = nullptr;
        HRESULT hr = (component->*method)(bstr(cert).get(), flags, &out);
        if (outHr)
            *outHr = hr;
        return take(out);
    }

    std::string pureSign(const std::string& pin, const std::string& data,
                         const std::string& codePage, LONG flags, LONG hashFlag,
                         HRESULT* outHr = nullptr, IGpkiComponent* c = nullptr) {
        BSTR out = nullptr;
        HRESULT hr = (c ? c : component)
                         ->GPKI_PureSign(bstr(pin).get(), bstr(data).get(), bstr(codePage).get(),
                                         flags, hashFlag, &out);
        if (outHr)
            *outHr = hr;
        return take(out);
    }
};

// Writes bytes to a file of the test folder and returns its path.
std::string dataFile(const std::string& name, const std::string& bytes) {
    std::string path = world().root.sub("data/" + name);
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
}

std::string fromBase64(const std::string& b64) {
    std::string path = dataFile("b64.txt", b64);
    return run("base64 -d " + shellQuote(path));
}

// ---------------------------------------------------------------------------

TEST_F(ComponentTest, EnumeratesTheTokensCertificatesFilteredByUsageAndKind) {
    struct Case {
        LONG flags;
        std::vector<std::string> expected;
    };
    // Labels order the list: "Kestrova EC" before "Kestrova RSA".
    const Case cases[] = {
        {0, {world().ecDer64, world().rsaDer64}},
        {kKeyUsageSign, {world().ecDer64, world().rsaDer64}},
        {kKeyUsageEncrypt, {world().rsaDer64}},
        {kKeyKindEc, {world().ecDer64}},
        {kKeyKindRsa | kKeyUsageSign, {world().rsaDer64}},
        {kKeyKindEc | kKeyUsageEncrypt, {}},
    };
    for (const Case& c : cases) {
        HRESULT hr = E_FAIL;
        EXPECT_EQ(c.expected, enumCerts(c.flags, &hr)) << "flags " << c.flags;
        EXPECT_EQ(S_OK, hr);
        EXPECT_EQ(0, lastError());
    }
    HRESULT refused = S_OK;
    EXPECT_TRUE(enumCerts(0x100, &refused).empty());
    EXPECT_TRUE(FAILED(refused));
    EXPECT_EQ(kTokenBadArgument, lastError());
    BSTR joined = nullptr;
    ASSERT_EQ(S_OK, component->GPKI_EnumCertsToString(0, &joined));
    EXPECT_EQ(world().ecDer64 + ";" + world().rsaDer64 + ";", take(joined));
    // The first listed certificate becomes the cached one.
    BSTR cached = nullptr;
    ASSERT_EQ(S_OK, component->GPKI_GetCachedCert(&cached));
    EXPECT_EQ(world().ecDer64, take(cached));
}

TEST_F(ComponentTest, ReadsCertificateFieldsFromBase64AndPem) {
    using M = HRESULT (IGpkiComponent::*)(BSTR, LONG, BSTR*);
    const std::string arc = "2.25.188158944154708027246958907542712988009";
    struct Case {
        const char* name;
        M method;
        const std::string* cert;
        LONG flags;
        std::string expected; // a regular expression
    };
    const std::string& rsa = world().rsaDer64;
    const std::string& ec = world().ecDer64;
    const std::string& rsaPem = world().rsaPem;
    const Case cases[] = {
        {"serial hex", &IGpkiComponent::CAPICertGetSerialNumber, &rsa, 0, "0A1B2C3D4E5F6071"},
        {"serial decimal", &IGpkiComponent::CAPICertGetSerialNumber, &rsa, 1, "728224406569967729"},
        {"serial from PEM", &IGpkiComponent::CAPICertGetSerialNumber, &rsaPem, 0,
         "0A1B2C3D4E5F6071"},
        {"issuer", &IGpkiComponent::CAPICertGetIssuer, &rsa, 0,
         "CN=Kestrova Test Authority,O=Kestrova Test Agency,C=TW"},
        {"issuer CN", &IGpkiComponent::CAPICertGetIssuer, &rsa, 1, "Kestrova Test Authority"},
        {"subject", &IGpkiComponent::CAPICertGetSubject, &rsa, 0,
         "CN=王小明,.*O=Kestrova Test Agency,C=TW"},
        {"subject CN", &IGpkiComponent::CAPICertGetSubject, &ec, 1, "王小明 EC"},
        {"not before", &IGpkiComponent::CAPICertGetNotBefore, &rsa, 0,
         "20[0-9]{2}-[01][0-9]-[0-3][0-9]T[0-2][0-9]:[0-5][0-9]:[0-5][0-9]Z"},
        {"not after seconds", &IGpkiComponent::CAPICertGetNotAfter, &rsa, 1, "[0-9]{10,}"},
        {"version", &IGpkiComponent::CAPICertGetVersion, &ec, 0, "3"},
        {"cert type OID", &IGpkiComponent::GPKI_GetCertTypeOID, &rsa, 0, arc + "\\.3\\.1"},
        {"all policy OIDs", &IGpkiComponent::GPKI_GetCertTypeOID, &rsa, 1,
         arc + "\\.3\\.1;" + arc + "\\.3\\.9"},
        {"entity OID", &IGpkiComponent::GPKI_GetEntityOID, &ec, 0, arc + "\\.2\\.1"},
        {"organization ID", &IGpkiComponent::GPKI_GetOrganizationID, &rsa, 0, "NTRTW-12345678"},
        {"rank from the directory attributes", &IGpkiComponent::GPKI_GetCardHolderRank, &rsa, 0,
         "科長"},
        {"tail of citizen ID", &IGpkiComponent::GPKI_GetTailOfCitizenID, &rsa, 0, "6789"},
        {"longer tail", &IGpkiComponent::GPKI_GetTailOfCitizenID, &rsa, 6, "456789"},
        {"signature algorithm", &IGpkiComponent::CryptCertGetSignatureAlgorithm, &ec, 0,
         "RSA-SHA256"},
        {"signature algorithm OID", &IGpkiComponent::CryptCertGetSignatureAlgorithm, &ec, 1,
         "1\\.2\\.840\\.113549\\.1\\.1\\.11"},
        {"extension OIDs", &IGpkiComponent::CryptCertGetExtension, &ec, 1,
         "2\\.5\\.29\\.19;2\\.5\\.29\\.15;2\\.5\\.29\\.14;2\\.5\\.29\\.35;2\\.5\\.29\\.32;2\\.5\\."
         "29\\.9"},
        {"extensions", &IGpkiComponent::CryptCertGetExtension, &ec, 0,
         "2\\.5\\.29\\.19,1,MAA=;2\\.5\\.29\\.15,1,AwIGwA==;.*"},
    };
    for (const Case& c : cases) {
        HRESULT hr = E_FAIL;
        std::string value = textCall(c.method, *c.cert, c.flags, &hr);
        EXPECT_EQ(S_OK, hr) << c.name << " lastError " << lastError();
        EXPECT_TRUE(std::regex_match(value, std::regex(c.expected))) << c.name << ": " << value;
    }

    // The public key is the certificate's own, as OpenSSL sees it.
    std::string expectedKey =
        run("openssl x509 -in " + shellQuote(world().token + "/ec.crt.pem") +
            " -pubkey -noout | openssl pkey -pubin -outform DER | base64 -w0");
    EXPECT_EQ(expectedKey, textCall(&IGpkiComponent::CAPICertGetPublicKey, ec, 0));

    LONG type = -1;
    ASSERT_EQ(S_OK, component->GPKI_GetCertType(bstr(rsa).get(), 0, &type));
    EXPECT_EQ(kKeyUsageSign | kKeyUsageEncrypt, type);
    ASSERT_EQ(S_OK, component->GPKI_GetCertType(bstr(ec).get(), 0, &type));
    EXPECT_EQ(kKeyUsageSign, type);

    BSTR attrs = nullptr;
    ASSERT_EQ(S_OK,
              component->GPKI_CertGetSubjectDirectoryAttrs(bstr(rsa).get(), nullptr, 0, &attrs));
    EXPECT_EQ(arc + ".1=" + arc + ".2.1;1.3.6.1.5.5.7.9.1=1980-01-02T00:00:00Z;" +
                  "1.3.6.1.5.5.7.9.4=TW;2.5.4.12=科長",
              take(attrs));
    ASSERT_EQ(S_OK, component->GPKI_CertGetSubjectDirectoryAttrs(
                        bstr(rsa).get(), bstr("1.3.6.1.5.5.7.9.4").get(), 0, &attrs));
    EXPECT_EQ("TW", take(attrs));
}

TEST_F(ComponentTest, RefusesBadCertificatesAndMissingFields) {
    struct Case {
        const char* name;
        std::string cert;
        long error;
    };
    const Case cases[] = {
        {"not Base64", "@@@", kTokenBadCertificate},
        {"Base64 of no certificate", "aGVsbG8=", kTokenBadCertificate},
        {"truncated", world().rsaDer64.substr(0, 200), kTokenBadCertificate},
        {"empty with nothing cached", "", kTokenBadArgument},
    };
    for (const Case& c : cases) {
        HRESULT hr = S_OK;
        std::string value = textCall(&IGpkiComponent::CAPICertGetSubject, c.cert, 0, &hr);
        EXPECT_TRUE(FAILED(hr)) << c.name;
        EXPECT_EQ(c.error, lastError()) << c.name;
        EXPECT_EQ("", value);
    }
    // The test authority has no policies: a missing field is an error, not "".
    std::string ca = World::derBase64(world().token + "/ca.crt.pem");
    HRESULT hr = S_OK;
    textCall(&IGpkiComponent::GPKI_GetCertTypeOID, ca, 0, &hr);
    EXPECT_TRUE(FAILED(hr));
    EXPECT_EQ(kTokenNoField, lastError());
    // An unknown output flag is refused rather than guessed.
    textCall(&IGpkiComponent::CAPICertGetSubject, world().rsaDer64, 7, &hr);
    EXPECT_EQ(kTokenBadArgument, lastError());
    // A good call clears lastError.
    textCall(&IGpkiComponent::CAPICertGetVersion, world().rsaDer64, 0, &hr);
    EXPECT_EQ(S_OK, hr);
    EXPECT_EQ(0, lastError());
}

TEST_F(ComponentTest, SlotsSerialAndModules) {
    LONG count = -1;
    ASSERT_EQ(S_OK, component->GPKI_GetSlotCount(&count));
    EXPECT_EQ(1, count);
    LONG present = -1;
    ASSERT_EQ(S_OK, component->GPKI_DetectCard(0, &present));
    EXPECT_EQ(1, present);
    BSTR serial = nullptr;
    ASSERT_EQ(S_OK, component->GPKI_GetSerialNumber(&serial));
    std::string expected =
        run("softhsm2-util --show-slots 2>/dev/null | grep -m1 'Serial number:' | "
            "awk '{print $3}' | tr -d '\\n'");
    EXPECT_EQ(expected, take(serial));

    LONG slot = -1;
    EXPECT_EQ(S_OK, component->GPKI_SetReaderSlot(0, 0, &slot));
    EXPECT_EQ(0, slot);
    EXPECT_TRUE(FAILED(component->GPKI_SetReaderSlot(0, 3, &slot)));
    EXPECT_EQ(kTokenBadSlot, lastError());
    EXPECT_TRUE(FAILED(component->GPKI_SetReaderSlot(0, -1, &slot)));

    // Only configured modules may be loaded: a page must not pick a library.
    struct Case {
        std::string path;
        bool accepted;
    };
    std::string fake = dataFile("libfake.so", "not a library");
    const Case cases[] = {
        {kModule, true}, {"/usr/lib/x86_64-linux-gnu/softhsm/libsofthsm2.so", true},
        {"", true},      {"/lib/x86_64-linux-gnu/libz.so.1", false},
        {fake, false},   {"/nonexistent/module.so", false},
    };
    for (const Case& c : cases) {
        LONG tokens = -1;
        HRESULT hr = component->GPKI_SetPKCS11Driver(bstr(c.path).get(), &tokens);
        EXPECT_EQ(c.accepted, SUCCEEDED(hr)) << c.path;
        if (c.accepted) {
            EXPECT_EQ(1, tokens) << c.path;
        } else {
            EXPECT_EQ(kTokenModuleRefused, lastError()) << c.path;
        }
    }
}

TEST_F(ComponentTest, VerifiesPinsWithARealLogin) {
    LONG result = -1, tries = -1;
    ASSERT_EQ(S_OK, component->GPKI_GetErrorPINCount(&tries));
    EXPECT_EQ(3, tries);

    EXPECT_TRUE(FAILED(component->GPKI_VerifyPIN(bstr("000000").get(), 0, &result)));
    EXPECT_EQ(kTokenPinIncorrect, lastError());
    ASSERT_EQ(S_OK, component->GPKI_GetErrorPINCount(&tries));
    EXPECT_EQ(2, tries); // SoftHSM2 reports "count low" after a wrong PIN

    EXPECT_EQ(S_OK, component->GPKI_VerifyPIN(bstr(kPin).get(), 0, &result));
    EXPECT_EQ(0, lastError());
    ASSERT_EQ(S_OK, component->GPKI_GetErrorPINCount(&tries));
    EXPECT_EQ(3, tries);

    // While the token is logged in, a wrong PIN is still refused.
    EXPECT_TRUE(FAILED(component->GPKI_VerifyPIN(bstr("999999").get(), 0, &result)));
    EXPECT_EQ(kTokenPinIncorrect, lastError());
    IGpkiComponent* other = create();
    ASSERT_NE(nullptr, other);
    EXPECT_EQ(S_OK, component->GPKI_VerifyPIN(bstr(kPin).get(), 0, &result));
    EXPECT_TRUE(FAILED(other->GPKI_VerifyPIN(bstr("111111").get(), 0, &result)));
    EXPECT_EQ(kTokenPinIncorrect, lastError(other));
    // An empty PIN is refused without a login attempt.
    EXPECT_TRUE(FAILED(other->GPKI_VerifyPIN(nullptr, 0, &result)));
    EXPECT_EQ(kTokenPinBad, lastError(other));
    other->Release();
}

TEST_F(ComponentTest, OneObjectsLoginNeverServesAnother) {
    LONG result = -1;
    ASSERT_EQ(S_OK, component->GPKI_VerifyPIN(bstr(kPin).get(), 0, &result));
    // The object that logged in signs without repeating the PIN ...
    HRESULT hr = E_FAIL;
    EXPECT_NE("", pureSign("", "data", "", kKeyKindRsa, 0, &hr));
    EXPECT_EQ(S_OK, hr);
    // ... another object (another page's session) may not.
    IGpkiComponent* other = create();
    ASSERT_NE(nullptr, other);
    EXPECT_EQ("", pureSign("", "data", "", kKeyKindRsa, 0, &hr, other));
    EXPECT_TRUE(FAILED(hr));
    EXPECT_EQ(kTokenPinRequired, lastError(other));
    // Its own login takes over; the first object's login is then gone.
    EXPECT_NE("", pureSign(kPin, "data", "", kKeyKindRsa, 0, &hr, other));
    EXPECT_EQ(S_OK, hr);
    pureSign("", "data", "", kKeyKindRsa, 0, &hr);
    EXPECT_TRUE(FAILED(hr));
    EXPECT_EQ(kTokenPinRequired, lastError());
    other->Release();
}

TEST_F(ComponentTest, PureSignaturesVerifyWithOpenSsl) {
    struct Case {
        const char* name;
        LONG flags;
        LONG hashFlag;
        const char* digest;
        std::string data;
        std::string codePage;
        std::string signedBytes; // what OpenSSL must see as the data
        const char* cert;
    };
    const std::string big5 = std::string("\xA4\xA4\xA4\xE5", 4); // "中文" in Big5
    const Case cases[] = {
        {"RSA SHA-256", kKeyKindRsa, 0, "sha256", "hello 中文", "", "hello 中文", "rsa"},
        {"RSA SHA-512 Big5", kKeyKindRsa, 4, "sha512", "中文", "950", big5, "rsa"},
        {"RSA SHA-384 Big5 by name", kKeyKindRsa | kKeyUsageSign, 3, "sha384", "中文", "Big5", big5,
         "rsa"},
        {"EC SHA-256", kKeyKindEc, 2, "sha256", "hello", "UTF-8", "hello", "ec"},
        {"EC SHA-384", kKeyKindEc, 384, "sha384", "中文", "65001", "中文", "ec"},
        {"EC default key", 0, 0, "sha256", "x", "", "x", "ec"},
        {"Base64 data", kKeyKindRsa, 0, "sha256", "AAEC/w==", "BASE64",
         std::string("\0\1\2\xff", 4), "rsa"},
    };
    std::string pub = world().root.sub("data/pub.pem");
    for (const Case& c : cases) {
        HRESULT hr = E_FAIL;
        std::string sig64 = pureSign(kPin, c.data, c.codePage, c.flags, c.hashFlag, &hr);
        ASSERT_EQ(S_OK, hr) << c.name << " lastError " << lastError();
        std::string sigFile = dataFile("sig.bin", fromBase64(sig64));
        std::string dataPath = dataFile("data.bin", c.signedBytes);
        run("openssl x509 -in " + shellQuote(world().token + "/" + c.cert + ".crt.pem") +
            " -pubkey -noout > " + shellQuote(pub));
        int status = -1;
        std::string out =
            run("openssl dgst -" + std::string(c.digest) + " -verify " + shellQuote(pub) +
                    " -signature " + shellQuote(sigFile) + " " + shellQuote(dataPath) + " 2>&1",
                &status);
        EXPECT_EQ(0, status) << c.name << ": " << out;
        // The key used is cached.
        BSTR cached = nullptr;
        ASSERT_EQ(S_OK, component->GPKI_GetCachedCert(&cached));
        EXPECT_EQ(std::string(c.cert) == "rsa" ? world().rsaDer64 : world().ecDer64, take(cached))
            << c.name;
    }

    struct Refusal {
        const char* name;
        std::string pin;
        std::string data;
        std::string codePage;
        LONG flags;
        LONG hashFlag;
        long error;
    };
    const Refusal refusals[] = {
        {"no PIN, no login", "", "x", "", 0, 0, kTokenPinRequired},
        {"wrong PIN", "654321", "x", "", 0, 0, kTokenPinIncorrect},
        {"unknown hash", kPin, "x", "", 0, 99, kTokenBadHashFlag},
        {"unknown code page", kPin, "x", "no-such-page", 0, 0, kTokenBadCodePage},
        {"text Big5 cannot hold", kPin, "한국어", "950", 0, 0, kTokenBadCodePage},
        {"no EC encryption key", kPin, "x", "", kKeyKindEc | kKeyUsageEncrypt, 0,
         kTokenNoCertificate},
        {"unknown flag", kPin, "x", "", 0x4000, 0, kTokenBadArgument},
    };
    IGpkiComponent* fresh = create();
    ASSERT_NE(nullptr, fresh);
    for (const Refusal& r : refusals) {
        HRESULT hr = S_OK;
        EXPECT_EQ("", pureSign(r.pin, r.data, r.codePage, r.flags, r.hashFlag, &hr, fresh))
            << r.name;
        EXPECT_TRUE(FAILED(hr)) << r.name;
        EXPECT_EQ(r.error, lastError(fresh)) << r.name;
        EXPECT_EQ(static_cast<HRESULT>(0x80040000u | static_cast<unsigned>(r.error)), hr) << r.name;
    }
    fresh->Release();
}

TEST_F(ComponentTest, RsaEncryptionAndDecryptionMeetOpenSsl) {
    const std::string key = world().token + "/rsa.key.pem";
    // Ours encrypts, OpenSSL decrypts with the exported key.
    struct Case {
        const char* name;
        std::string cert;
        std::string data;
        LONG flags;
        std::string clear;
    };
    const Case cases[] = {
        {"text to the given certificate", world().rsaDer64, "secret 中文", 0, "secret 中文"},
        {"PEM certificate", world().rsaPem, "x", 0, "x"},
        {"the token's encryption certificate", "", "abc", 0, "abc"},
        {"binary", world().rsaDer64, "AAEC/w==", kRawFlagBinary, std::string("\0\1\2\xff", 4)},
    };
    for (const Case& c : cases) {
        BSTR out = nullptr;
        ASSERT_EQ(S_OK, component->GPKI_RSAEncryptByCert(bstr(c.cert).get(), bstr(c.data).get(),
                                                         c.flags, &out))
            << c.name << " lastError " << lastError();
        std::string cipher = dataFile("cipher.bin", fromBase64(take(out)));
        int status = -1;
        std::string clear = run("openssl pkeyutl -decrypt -inkey " + shellQuote(key) + " -in " +
                                    shellQuote(cipher) + " -pkeyopt rsa_padding_mode:pkcs1",
                                &status);
        EXPECT_EQ(0, status) << c.name;
        EXPECT_EQ(c.clear, clear) << c.name;
    }
    BSTR out = nullptr;
    EXPECT_TRUE(FAILED(
        component->GPKI_RSAEncryptByCert(bstr(world().ecDer64).get(), bstr("x").get(), 0, &out)));
    EXPECT_EQ(kTokenUnsupportedKey, lastError());
    EXPECT_TRUE(FAILED(component->GPKI_RSAEncryptByCert(
        bstr(world().rsaDer64).get(), bstr(std::string(300, 'a')).get(), 0, &out)));
    EXPECT_EQ(kTokenEncryptFailed, lastError());

    // OpenSSL encrypts to the certificate, the token decrypts.
    std::string plainFile = dataFile("plain.txt", "for the token 中文");
    std::string cipherFile = world().root.sub("data/cipher2.bin");
    int status = -1;
    run("openssl pkeyutl -encrypt -certin -inkey " + shellQuote(world().token + "/rsa.crt.pem") +
            " -in " + shellQuote(plainFile) + " -out " + shellQuote(cipherFile) +
            " -pkeyopt rsa_padding_mode:pkcs1",
        &status);
    ASSERT_EQ(0, status);
    std::string cipher64 = run("base64 -w0 " + shellQuote(cipherFile));
    ASSERT_EQ(S_OK, component->GPKI_RSADecrypt(bstr(cipher64).get(), bstr(kPin).get(), 0, &out))
        << lastError();
    EXPECT_EQ("for the token 中文", take(out));
    ASSERT_EQ(S_OK,
              component->GPKI_RSADecrypt(bstr(cipher64).get(), nullptr, kRawFlagBinary, &out));
    EXPECT_EQ(run("base64 -w0 " + shellQuote(plainFile)), take(out));

    struct Refusal {
        const char* name;
        std::string cipher;
        std::string pin;
        long error;
    };
    const Refusal refusals[] = {
        {"not Base64", "@@", kPin, kTokenBadBase64},
        {"empty", "", kPin, kTokenBadArgument},
        {"not for this key", "AAAA" + cipher64.substr(4), kPin, kTokenDecryptFailed},
        {"wrong PIN", cipher64, "000000", kTokenPinIncorrect},
    };
    for (const Refusal& r : refusals) {
        EXPECT_TRUE(
            FAILED(component->GPKI_RSADecrypt(bstr(r.cipher).get(), bstr(r.pin).get(), 0, &out)))
            << r.name;
        EXPECT_EQ(r.error, lastError()) << r.name;
    }
}

TEST_F(ComponentTest, Base64RoundTripsInCodePages) {
    struct Case {
        std::string text;
        std::string codePage;
        std::string base64;
    };
    const Case cases[] = {
        {"中文", "UTF-8", "5Lit5paH"}, {"中文", "65001", "5Lit5paH"}, {"中文", "", "5Lit5paH"},
        {"中文", "950", "pKSk5Q=="},   {"中文", "big5", "pKSk5Q=="},  {"中文", "CP936", "1tDOxA=="},
        {"café", "1252", "Y2Fm6Q=="},  {"ab", "1200", "YQBiAA=="},    {"", "UTF-8", ""},
    };
    for (const Case& c : cases) {
        BSTR out = nullptr;
        ASSERT_EQ(S_OK,
                  component->GPKI_Base64Encode(bstr(c.text).get(), bstr(c.codePage).get(), &out))
            << c.codePage;
        EXPECT_EQ(c.base64, take(out)) << c.codePage;
        ASSERT_EQ(S_OK,
                  component->GPKI_Base64Decode(bstr(c.base64).get(), bstr(c.codePage).get(), &out))
            << c.codePage;
        EXPECT_EQ(c.text, take(out)) << c.codePage;
    }
    // SetCodePage changes the default of an empty code page.
    ASSERT_EQ(S_OK, component->SetCodePage(950));
    BSTR out = nullptr;
    ASSERT_EQ(S_OK, component->GPKI_Base64Encode(bstr("中文").get(), nullptr, &out));
    EXPECT_EQ("pKSk5Q==", take(out));
    EXPECT_TRUE(FAILED(component->SetCodePage(12345)));
    EXPECT_EQ(kTokenBadCodePage, lastError());

    struct Refusal {
        bool encode;
        std::string text;
        std::string codePage;
        long error;
    };
    const Refusal refusals[] = {
        {true, "中文", "no-such-page", kTokenBadCodePage},
        {true, "中文", "../../etc", kTokenBadCodePage},
        {true, "中文", "1252", kTokenBadCodePage}, // not representable
        {false, "!!!", "UTF-8", kTokenBadBase64},
        {false, "/w==", "UTF-8", kTokenBadCodePage}, // 0xFF is not UTF-8
        {false, "pA==", "950", kTokenBadCodePage},   // a lone Big5 lead byte
    };
    for (const Refusal& r : refusals) {
        HRESULT hr =
            r.encode
                ? component->GPKI_Base64Encode(bstr(r.text).get(), bstr(r.codePage).get(), &out)
                : component->GPKI_Base64Decode(bstr(r.text).get(), bstr(r.codePage).get(), &out);
        EXPECT_TRUE(FAILED(hr)) << r.text << " " << r.codePage;
        EXPECT_EQ(r.error, lastError()) << r.text << " " << r.codePage;
        EXPECT_EQ(nullptr, out);
    }
}

TEST_F(ComponentTest, ReadsOnlyFilesInsideTheAllowedFolders) {
    const std::string& exchange = world().exchange;
    kestrova_test::writeFile(exchange + "/note.txt", "note 中文");
    kestrova_test::writeFile(world().root.path() + "/outside.txt", "outside");
    symlink((world().root.path() + "/outside.txt").c_str(), (exchange + "/link.txt").c_str());
    symlink(world().root.path().c_str(), (exchange + "/linkdir").c_str());
    mkdir((exchange + "/sub").c_str(), 0700);

    struct Case {
        std::string path;
        LONG flags;
        bool allowed;
        std::string expected;
        long error;
    };
    const Case cases[] = {
        {exchange + "/note.txt", 0, true, "note 中文", 0},
        {exchange + "/note.txt", 1, true, "bm90ZSDkuK3mloc=", 0},
        {"note.txt", 0, true, "note 中文", 0},
        {exchange + "/sub/../note.txt", 0, true, "note 中文", 0},
        {"/etc/passwd", 0, false, "", kTokenPathRefused},
        {exchange + "/../outside.txt", 0, false, "", kTokenPathRefused},
        {"../outside.txt", 0, false, "", kTokenPathRefused},
        {exchange + "/link.txt", 0, false, "", kTokenPathRefused},
        {exchange + "/linkdir/outside.txt", 0, false, "", kTokenPathRefused},
        {exchange + "/missing.txt", 0, false, "", kTokenPathRefused},
        {exchange + "/sub", 0, false, "", kTokenBadArgument},
        {"", 0, false, "", kTokenBadArgument},
        {exchange + "/note.txt", 5, false, "", kTokenBadArgument},
    };
    for (const Case& c : cases) {
        BSTR out = nullptr;
        HRESULT hr = component->GPKI_ReadFile(bstr(c.path).get(), c.flags, &out);
        EXPECT_EQ(c.allowed, SUCCEEDED(hr)) << c.path;
        std::string text = take(out);
        if (c.allowed) {
            EXPECT_EQ(c.expected, text) << c.path;
        } else {
            EXPECT_EQ(c.error, lastError()) << c.path;
            EXPECT_EQ("", text);
        }
    }

    // Reference folders of XML signatures obey the same rule.
    struct Dirs {
        std::string list;
        long error;
    };
    const Dirs dirs[] = {
        {exchange, 0},
        {exchange + "/sub ; " + exchange, 0},
        {"sub", 0},
        {"", 0},
        {world().root.path(), kTokenPathRefused},
        {exchange + ";/etc", kTokenPathRefused},
        {exchange + "/linkdir", kTokenPathRefused},
        {exchange + "/note.txt", kTokenBadArgument},
    };
    for (const Dirs& d : dirs) {
        HRESULT hr = component->SetXMLReferenceDirs(bstr(d.list).get());
        EXPECT_EQ(d.error == 0, SUCCEEDED(hr)) << d.list;
        EXPECT_EQ(d.error, lastError()) << d.list;
    }

    // The user's configuration names other folders; the default one then
    // stops being allowed.
    std::string other = world().root.folder("allowed-elsewhere");
    kestrova_test::writeFile(other + "/x.txt", "x");
    std::string conf = world().home + "/.config/ARDEQKestrova/component.conf";
    kestrova_test::writeFile(world().root.sub("home/.config/ARDEQKestrova/component.conf"),
                             "# test\nfolder = " + other + "\n");
    BSTR out = nullptr;
    EXPECT_EQ(S_OK, component->GPKI_ReadFile(bstr(other + "/x.txt").get(), 0, &out));
    EXPECT_EQ("x", take(out));
    EXPECT_TRUE(FAILED(component->GPKI_ReadFile(bstr(exchange + "/note.txt").get(), 0, &out)));
    EXPECT_EQ(kTokenPathRefused, lastError());
    unlink(conf.c_str());
}

TEST_F(ComponentTest, DialogStringsAndVersion) {
    BSTR out = nullptr;
    LONG number = -1;
    EXPECT_EQ(S_OK, component->SetDialogString(1, 2, bstr("Enter PIN").get(), &number));
    EXPECT_EQ(0, lastError());
    EXPECT_TRUE(
        FAILED(component->SetDialogString(1, 3, bstr(std::string(5000, 'a')).get(), &number)));
    EXPECT_EQ(kTokenTooLarge, lastError());
    ASSERT_EQ(S_OK, component->GetVersion(0, &out));
    EXPECT_TRUE(std::regex_match(take(out), std::regex("[0-9]+\\.[0-9]+\\.[0-9]+")));
}

TEST_F(ComponentTest, ClassObjectAnswersOnlyItsClass) {
    void* library = dlopen(KESTROVA_COMPONENT_FILE, RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(nullptr, library);
    auto get = reinterpret_cast<DllGetClassObjectFunction>(dlsym(library, "DllGetClassObject"));
    auto canUnload = reinterpret_cast<HRESULT (*)()>(dlsym(library, "DllCanUnloadNow"));
    ASSERT_NE(nullptr, get);
    ASSERT_NE(nullptr, canUnload);
    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE, get(IID_IUnknown, IID_IClassFactory, &out));
    EXPECT_EQ(nullptr, out);
    EXPECT_EQ(S_FALSE, canUnload()); // this test's object is alive
    IClassFactory* factory = nullptr;
    ASSERT_EQ(S_OK,
              get(CLSID_GpkiComponent, IID_IClassFactory, reinterpret_cast<void**>(&factory)));
    IUnknown* outer = component;
    EXPECT_EQ(CLASS_E_NOAGGREGATION, factory->CreateInstance(outer, IID_IUnknown, &out));
    ISupportErrorInfo* errors = nullptr;
    ASSERT_EQ(S_OK,
              component->QueryInterface(IID_ISupportErrorInfo, reinterpret_cast<void**>(&errors)));
    EXPECT_EQ(S_OK, errors->InterfaceSupportsErrorInfo(IID_IGpkiComponent));
    errors->Release();
    factory->Release();
    // Nothing but the two entry points is exported.
    EXPECT_EQ(nullptr, dlsym(library, "tokenLogin"));
    EXPECT_EQ(nullptr, dlsym(library, "SysAllocString"));
    dlclose(library);
}

// Without KESTROVA_PKCS11_MODULE the modules p11-kit is configured with serve
// (SoftHSM2 among them), its trust store aside. GnuTLS reads the module set
// once per process, so this runs only in a process of its own (as ctest runs
// every test).
TEST(ComponentDefaultModules, UsesTheModulesP11KitIsConfiguredWith) {
    if (worldMade)
        GTEST_SKIP() << "needs a process of its own";
    TempFolder root("kestrova-component-default");
    std::string token = root.folder("token");
    std::string registry = root.folder("com");
    int status = -1;
    run(std::string(KESTROVA_MAKE_TEST_TOKEN) + " " + shellQuote(token) + " >/dev/null 2>&1",
        &status);
    ASSERT_EQ(0, status);
    kestrova_test::ScopedEnv conf("SOFTHSM2_CONF", token + "/softhsm2.conf");
    kestrova_test::ScopedEnv module("KESTROVA_PKCS11_MODULE", nullptr);
    kestrova_test::ScopedEnv home("HOME", root.folder("home"));
    kestrova_test::ScopedEnv comRegistry("KESTROVA_COM_REGISTRY", registry);
    kestrova_test::writeFile(registry + "/{4B91F9EF-F244-622E-CE84-9671A85BDFE5}.component",
                             std::string(KESTROVA_COMPONENT_FILE) + "\n");
    CoInitialize(nullptr);
    void* object = nullptr;
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_GpkiComponent, nullptr, CLSCTX_ALL, IID_IGpkiComponent,
                                     &object));
    auto* component = static_cast<IGpkiComponent*>(object);

    LONG count = -1;
    ASSERT_EQ(S_OK, component->GPKI_GetSlotCount(&count));
    EXPECT_EQ(1, count); // no trust store token, no uninitialised SoftHSM2 slot
    BSTR list = nullptr;
    ASSERT_EQ(S_OK, component->GPKI_EnumCertsToString(0, &list));
    std::string certs = take(list);
    EXPECT_EQ(2, std::count(certs.begin(), certs.end(), ';')) << certs;
    // A configured module named by path (through a link) or by its bare name.
    LONG tokens = -1;
    EXPECT_EQ(S_OK, component->GPKI_SetPKCS11Driver(bstr(kModule).get(), &tokens));
    EXPECT_EQ(1, tokens);
    // OpenSC by its bare name (p11-kit's module folder); no card in the reader.
    EXPECT_EQ(S_OK, component->GPKI_SetPKCS11Driver(bstr("opensc-pkcs11.so").get(), &tokens));
    EXPECT_EQ(0, tokens);
    LONG present = -1;
    EXPECT_EQ(S_OK, component->GPKI_DetectCard(0, &present));
    EXPECT_EQ(0, present);
    EXPECT_TRUE(FAILED(
        component->GPKI_SetPKCS11Driver(bstr("/lib/x86_64-linux-gnu/libz.so.1").get(), &tokens)));
    LONG error = 0;
    component->get_lastError(&error);
    EXPECT_EQ(kTokenModuleRefused, error);
    component->Release();
}

// Writing (the methods that write files call this): only inside the allowed
// folders, never through a link at the name, and never half a file.
TEST(ComponentFileAccess, WritesOnlyInsideTheAllowedFolders) {
    TempFolder root("kestrova-component-files");
    std::string home = root.folder("home");
    std::string exchange = root.folder("home/ARDEQKestrova");
    std::string outside = root.folder("outside");
    kestrova_test::ScopedEnv homeEnv("HOME", home);
    kestrova_test::ScopedEnv config("XDG_CONFIG_HOME", home + "/.config");
    kestrova_test::writeFile(outside + "/target.txt", "untouched");
    symlink((outside + "/target.txt").c_str(), (exchange + "/link.txt").c_str());
    symlink(outside.c_str(), (exchange + "/linkdir").c_str());

    struct Case {
        std::string path;
        long result;
    };
    const Case cases[] = {
        {exchange + "/new.txt", kTokenOk},
        {"relative.txt", kTokenOk},
        {exchange + "/new.txt", kTokenOk}, // replaced
        {exchange + "/link.txt", kTokenPathRefused},
        {exchange + "/linkdir/x.txt", kTokenPathRefused},
        {exchange + "/../escape.txt", kTokenPathRefused},
        {outside + "/x.txt", kTokenPathRefused},
        {exchange + "/missing/x.txt", kTokenPathRefused},
        {exchange + "/", kTokenBadArgument},
        {exchange + "/..", kTokenBadArgument},
        {"", kTokenBadArgument},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.result, fileAccessWrite(c.path, "written " + c.path)) << c.path;
    }
    EXPECT_EQ("written " + exchange + "/new.txt", kestrova_test::readFile(exchange + "/new.txt"));
    EXPECT_EQ("written relative.txt", kestrova_test::readFile(exchange + "/relative.txt"));
    EXPECT_EQ("untouched", kestrova_test::readFile(outside + "/target.txt"));
    EXPECT_FALSE(std::filesystem::exists(root.path() + "/home/escape.txt"));
    struct stat st {};
    ASSERT_EQ(0, stat((exchange + "/new.txt").c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 0777u);
    // No temporary file is left behind.
    size_t files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(exchange)) {
        (void)entry;
        ++files;
    }
    EXPECT_EQ(4u, files); // new.txt, relative.txt, link.txt, linkdir

    // Reading is capped.
    kestrova_test::writeFile(exchange + "/big.bin", std::string(5000, 'x'));
    std::string bytes;
    EXPECT_EQ(kTokenTooLarge, fileAccessRead(exchange + "/big.bin", 4096, bytes));
    EXPECT_EQ(kTokenOk, fileAccessRead(exchange + "/big.bin", 5000, bytes));
    EXPECT_EQ(5000u, bytes.size());
}

// Two tokens: the slot index picks the token every later call works on.
// Runs in a process of its own, like the default-module test.
TEST(ComponentSlots, TheSlotIndexChoosesTheToken) {
    if (worldMade)
        GTEST_SKIP() << "needs a process of its own";
    TempFolder root("kestrova-component-slots");
    std::string token = root.folder("token");
    std::string registry = root.folder("com");
    int status = -1;
    run(std::string(KESTROVA_MAKE_TEST_TOKEN) + " " + shellQuote(token) + " >/dev/null 2>&1",
        &status);
    ASSERT_EQ(0, status);
    kestrova_test::ScopedEnv conf("SOFTHSM2_CONF", token + "/softhsm2.conf");
    run("softhsm2-util --init-token --free --label Second --so-pin 87654321 --pin 222222 "
        ">/dev/null 2>&1",
        &status);
    ASSERT_EQ(0, status);
    kestrova_test::ScopedEnv module("KESTROVA_PKCS11_MODULE", kModule);
    kestrova_test::ScopedEnv home("HOME", root.folder("home"));
    kestrova_test::ScopedEnv comRegistry("KESTROVA_COM_REGISTRY", registry);
    kestrova_test::writeFile(registry + "/{4B91F9EF-F244-622E-CE84-9671A85BDFE5}.component",
                             std::string(KESTROVA_COMPONENT_FILE) + "\n");
    CoInitialize(nullptr);
    void* object = nullptr;
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_GpkiComponent, nullptr, CLSCTX_ALL, IID_IGpkiComponent,
                                     &object));
    auto* component = static_cast<IGpkiComponent*>(object);

    LONG count = -1;
    ASSERT_EQ(S_OK, component->GPKI_GetSlotCount(&count));
    ASSERT_EQ(2, count);
    std::string slots = run("softhsm2-util --show-slots 2>/dev/null");
    int withCerts = 0;
    std::vector<std::string> serials;
    for (LONG index = 0; index < 2; ++index) {
        LONG chosen = -1;
        ASSERT_EQ(S_OK, component->GPKI_SetReaderSlot(0, index, &chosen));
        EXPECT_EQ(index, chosen);
        BSTR serial = nullptr;
        ASSERT_EQ(S_OK, component->GPKI_GetSerialNumber(&serial));
        serials.push_back(take(serial));
        EXPECT_NE(std::string::npos, slots.find(serials.back())) << serials.back();
        BSTR list = nullptr;
        ASSERT_EQ(S_OK, component->GPKI_EnumCertsToString(0, &list));
        std::string certs = take(list);
        bool first = !certs.empty();
        withCerts += first ? 1 : 0;
        // Each token takes its own PIN only.
        LONG result = -1;
        EXPECT_EQ(first, SUCCEEDED(component->GPKI_VerifyPIN(bstr(kPin).get(), 0, &result)))
            << index;
        EXPECT_EQ(!first, SUCCEEDED(component->GPKI_VerifyPIN(bstr("222222").get(), 0, &result)))
            << index;
    }
    EXPECT_EQ(1, withCerts);
    EXPECT_NE(serials[0], serials[1]);
    LONG chosen = -1;
    EXPECT_TRUE(FAILED(component->GPKI_SetReaderSlot(0, 2, &chosen)));
    component->Release();
}

// A module named by KESTROVA_PKCS11_MODULE that does not load: calls say so,
// and a configured module can still be chosen. A process of its own.
TEST(ComponentBrokenModule, AModuleThatDoesNotLoadIsReported) {
    if (worldMade) GTEST_SKIP() << "needs a process of its own";
    TempFolder root("kestrova-component-broken");
    std::string token = root.folder("token");
    std::string registry = root.folder("com");
    int status = -1;
    run(std::string(KESTROVA_MAKE_TEST_TOKEN) + " " + shellQuote(token) + " >/dev/null 2>&1", &status);
    ASSERT_EQ(0, status);
    kestrova_test::ScopedEnv conf("SOFTHSM2_CONF", token + "/softhsm2.conf");
    kestrova_test::ScopedEnv module("KESTROVA_PKCS11_MODULE", root.path() + "/missing.so");
    kestrova_test::ScopedEnv home("HOME", root.folder("home"));
    kestrova_test::ScopedEnv comRegistry("KESTROVA_COM_REGISTRY", registry);
    kestrova_test::writeFile(registry + "/{4B91F9EF-F244-622E-CE84-9671A85BDFE5}.component",
                             std::string(KESTROVA_COMPONENT_FILE) + "\n");
    CoInitialize(nullptr);
    void* object = nullptr;
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_GpkiComponent, nullptr, CLSCTX_ALL, IID_IGpkiComponent,
                                     &object));
    auto* component = static_cast<IGpkiComponent*>(object);
    LONG count = -1, error = 0;
    EXPECT_TRUE(FAILED(component->GPKI_GetSlotCount(&count)));
    component->get_lastError(&error);
    EXPECT_EQ(kTokenModuleFailed, error);
    EXPECT_EQ(S_OK, component->GPKI_SetPKCS11Driver(bstr(kModule).get(), &count));
    EXPECT_EQ(1, count);
    component->Release();
}

} // namespace
