// The credentials as a client meets them: the real service's TLS handshake
// presents the stored EC certificate, proves it holds the matching key, and
// the chain verifies against the built root for the loopback names.

#include "tests/integration/support/KestrovaITest.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "service/Key.h"

namespace {

const std::string kRootEC = KESTROVA_TEST_ROOT_EC;

std::string firstCertificate(const std::string& output) {
    const std::string begin = "-----BEGIN CERTIFICATE-----";
    const std::string end = "-----END CERTIFICATE-----\n";
    size_t from = output.find(begin);
    size_t to = from == std::string::npos ? from : output.find(end, from);
    return to == std::string::npos ? std::string() : output.substr(from, to + end.size() - from);
}

TEST(ServedChain, IsTheStoredCertificateAndVerifiesAgainstTheBuiltRoot) {
    ITEST_REQUIRE_TLS_ROOTS();
    std::string error;
    auto service = itestStartService({}, &error);
    ASSERT_TRUE(service) << error;
    ASSERT_FALSE(service->ports.empty());
    const std::string port = std::to_string(service->ports[0]);

    char* stored = getServerCertificate();
    ASSERT_NE(nullptr, stored);
    const std::string storedPem = stored + 1; // without the leading line feed
    free(stored);

    struct Case {
        const char* address;
        const char* check;
        const char* value;
        bool verifies;
    } cases[] = {
        {"127.0.0.1", "-verify_hostname", "localhost", true},
        {"127.0.0.1", "-verify_ip", "127.0.0.1", true},
        {"[::1]", "-verify_hostname", "localhost", true},
        // The alternative names list 127.0.0.1 only.
        {"[::1]", "-verify_ip", "::1", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.address) + " " + c.check + " " + c.value);
        ITestCommandResult r =
            itestRunCommand({"openssl", "s_client", "-connect", std::string(c.address) + ":" + port,
                             "-servername", "localhost", "-showcerts", "-CAfile", kRootEC,
                             "-verify_return_error", c.check, c.value},
                            60);
        if (c.verifies) {
            EXPECT_EQ(0, r.exitCode) << r.output;
            EXPECT_NE(std::string::npos, r.output.find("Verify return code: 0 (ok)")) << r.output;
            EXPECT_EQ(storedPem, firstCertificate(r.output)) << r.output;
        } else {
            EXPECT_NE(0, r.exitCode) << r.output;
        }
    }

    // certtool agrees on the chain as served.
    ITestCommandResult served =
        itestRunCommand({"openssl", "s_client", "-connect", "127.0.0.1:" + port, "-servername",
                         "localhost", "-showcerts"},
                        60);
    const std::string chainPath = service->tmpDir + "/served-chain.pem";
    std::ofstream(chainPath) << firstCertificate(served.output);
    ITestCommandResult verify =
        itestRunCommand({"certtool", "--verify", "--verify-hostname", "localhost",
                         "--load-ca-certificate", kRootEC, "--infile", chainPath},
                        60);
    EXPECT_EQ(0, verify.exitCode) << verify.output;
    EXPECT_NE(std::string::npos, verify.output.find("Chain verification output: Verified"))
        << verify.output;
}

} // namespace
