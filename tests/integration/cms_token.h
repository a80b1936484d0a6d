#pragma once
// A SoftHSM2 token made by tools/make-test-token (RSA key "Kestrova RSA",
// signing and encryption; EC key "Kestrova EC", signing only), an allowed
// exchange folder for the file methods, and the component state the method
// bodies run on, under the real token lock, as the COM object calls them.

#include "component/ComponentMethods.h"
#include "component/Token.h"

#include "tests/unit/cms_testkeys.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

struct CmsToken {
    std::string root;    // everything of this run
    std::string token;   // make-test-token's folder
    std::string allowed; // the one folder file methods may use
    std::string outside; // a folder they may not
    std::string pin = "123456";
    // Stored as a data object marked with the attributeCertificate type
    // (SoftHSM2 keeps no attribute certificate objects of their own type),
    // before the module is loaded in this process: SoftHSM2 does not see
    // objects another process adds later.
    std::string attributeCert = std::string("\x30\x06\x02\x01\x05\x04\x01\x41", 8);
};

inline CmsToken& cmsToken() {
    static CmsToken t;
    return t;
}

class CmsTokenEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        CmsToken& t = cmsToken();
        t.root = testMakeFolder("cmsxml-it");
        t.token = t.root + "/token";
        t.allowed = t.root + "/allowed";
        t.outside = t.root + "/outside";
        std::string log;
        int rc = testRun(std::string(KESTROVA_TEST_MAKE_TOKEN) + " '" + t.token + "' --export-keys",
                         &log);
        ASSERT_EQ(rc, 0) << log;
        testRun("mkdir -p '" + t.allowed + "' '" + t.outside + "' '" + t.root +
                "/config/ARDEQKestrova'");
        testWriteFile(t.root + "/config/ARDEQKestrova/component.conf",
                      "folder = " + t.allowed + "\n");
        testWriteFile(t.root + "/ac.der", t.attributeCert);
        rc = testRun(
            "SOFTHSM2_CONF='" + t.token +
                "/softhsm2.conf' pkcs11-tool --module "
                "/usr/lib/softhsm/libsofthsm2.so --login --pin " +
                t.pin + " --write-object '" + t.root +
                "/ac.der' --type data --application-id 2.5.4.58 --label 'attribute certificate'",
            &log);
        ASSERT_EQ(rc, 0) << log;
        // A third pair for key agreement: EC P-256 with keyAgreement only, its
        // key allowed to derive (label "Kestrova ECDH", id 03); the key is
        // kept as ecdh.key.pem for openssl.
        const std::string w = t.root + "/ecdh";
        const std::string p11 = "SOFTHSM2_CONF='" + t.token +
                                "/softhsm2.conf' pkcs11-tool --module "
                                "/usr/lib/softhsm/libsofthsm2.so --login --pin " +
                                t.pin;
        rc = testRun(
            "set -e; mkdir -p '" + w + "'; cd '" + w +
                "'; "
                "openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out ecdh.key.pem; "
                "openssl req -new -key ecdh.key.pem -subj '/O=Kestrova Test/CN=Kestrova ECDH' -out "
                "ecdh.csr; "
                "printf "
                "'[e]\\nbasicConstraints=critical,CA:FALSE\\nkeyUsage=critical,keyAgreement\\n' > "
                "ext.cnf; "
                "openssl x509 -req -in ecdh.csr -CA '" +
                t.token + "/ca.crt.pem' -CAkey '" + t.token +
                "/work/ca.key.pem' -set_serial 0x3003 -days 30 -extfile ext.cnf -extensions e "
                "-out ecdh.crt.pem; "
                "openssl x509 -in ecdh.crt.pem -outform DER -out ecdh.crt.der; "
                "openssl pkcs8 -topk8 -nocrypt -in ecdh.key.pem -outform DER -out ecdh.p8.der; " +
                p11 +
                " --write-object ecdh.p8.der --type privkey --usage-derive --id 03 --label "
                "'Kestrova ECDH'; " +
                p11 + " --write-object ecdh.crt.der --type cert --id 03 --label 'Kestrova ECDH'",
            &log);
        ASSERT_EQ(rc, 0) << log;
        setenv("SOFTHSM2_CONF", (t.token + "/softhsm2.conf").c_str(), 1);
        setenv("KESTROVA_PKCS11_MODULE", "/usr/lib/softhsm/libsofthsm2.so", 1);
        setenv("XDG_CONFIG_HOME", (t.root + "/config").c_str(), 1);
        setenv("HOME", t.root.c_str(), 1);
    }
    void TearDown() override {
        if (getenv("KESTROVA_ITEST_KEEP") == nullptr)
            testRun("rm -rf '" + cmsToken().root + "'");
    }
};

// One component object's state, released at the end like the object does.
struct ComponentFixture {
    ComponentState state;
    ~ComponentFixture() {
        auto guard = tokenLock();
        long n = 0;
        (void)componentSignStep(state, kSignFinal, std::string(), 0, n);
        componentStateRelease(state);
    }
};

inline std::string tokenFile(const std::string& name) {
    return cmsToken().token + "/" + name;
}
