// The credentials this build folder carries, checked by independent tools:
// OpenSSL and certtool verify the server certificates against the built root
// PEMs and read their properties; a throw-away root from the generator shows
// that its name constraints reject every name but the loopback ones; and no
// private key text lies anywhere in the build folder.
//
// Temporary files live outside the build folder, so that the scan of the build
// folder sees only what the build itself left there.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "common/runtime/OSInfo.h"
#include "service/Key.h"
#include "service/QXWhiteBoxUtilCore.h"

namespace fs = std::filesystem;

namespace {

const fs::path kBuildDir = KESTROVA_TEST_BUILD_DIR;
const fs::path kRootEC = KESTROVA_TEST_ROOT_EC;
const fs::path kRootRSA = KESTROVA_TEST_ROOT_RSA;
const fs::path kGenerator = KESTROVA_TEST_GENCREDS;
const fs::path kGeneratedSource = KESTROVA_TEST_GENERATED_SOURCE;
const fs::path kCredentialsLibrary = KESTROVA_TEST_CREDENTIALS_LIBRARY;

constexpr long kDay = 24 * 60 * 60;

struct Outcome {
    int status; // exit code, or -1 when the command did not end normally
    std::string output;
};

std::string quote(const std::string& text) {
    std::string out = "'";
    for (char c : text) {
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return out + "'";
}

Outcome run(const std::string& command) {
    Outcome result{-1, ""};
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) {
        return result;
    }
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) {
        result.output.append(buffer, n);
    }
    int status = pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

bool isInside(const fs::path& path, const fs::path& folder) {
    const std::string p = fs::weakly_canonical(path).string() + "/";
    const std::string f = fs::weakly_canonical(folder).string() + "/";
    return p.compare(0, f.size(), f) == 0;
}

// A private folder for one test, never inside the build folder.
struct TempFolder {
    fs::path path;
    TempFolder() {
        const char* base = getenv("TMPDIR");
        fs::path parent = base != nullptr && *base != '\0' ? fs::path(base) : fs::path("/tmp");
        if (!fs::is_directory(parent) || isInside(parent, kBuildDir)) {
            parent = "/tmp";
        }
        std::string pattern = (parent / "kestrova-credentials-XXXXXX").string();
        if (mkdtemp(pattern.data()) != nullptr) {
            path = pattern;
        }
    }
    ~TempFolder() {
        std::error_code ignored;
        if (!path.empty()) {
            fs::remove_all(path, ignored);
        }
    }
    fs::path write(const std::string& name, const std::string& content) const {
        fs::path file = path / name;
        std::ofstream(file, std::ios::binary) << content;
        return file;
    }
};

// notBefore and notAfter as OpenSSL reads them (seconds since the epoch), or
// zeros when it cannot.
std::pair<time_t, time_t> validity(const fs::path& certificate) {
    Outcome dates =
        run("openssl x509 -noout -startdate -enddate -in " + quote(certificate.string()));
    time_t times[2] = {0, 0};
    const char* labels[2] = {"notBefore=", "notAfter="};
    for (int i = 0; i < 2; ++i) {
        size_t at = dates.output.find(labels[i]);
        struct tm parts = {};
        if (at != std::string::npos && strptime(dates.output.c_str() + at + strlen(labels[i]),
                                                "%b %d %H:%M:%S %Y GMT", &parts) != nullptr) {
            times[i] = timegm(&parts);
        }
    }
    return {times[0], times[1]};
}

std::string takeText(char* text) {
    std::string out = text != nullptr ? text : "";
    free(text);
    return out;
}

struct Pair {
    const char* name;
    uint32_t flags;
    fs::path root;
    fs::path otherRoot;
};

const Pair kPairs[] = {
    {"EC", kOsLinux | kOsArch64, kRootEC, kRootRSA},
    {"RSA", 0, kRootRSA, kRootEC},
};

// ---------------------------------------------------------------------------
// The served certificates against the built roots
// ---------------------------------------------------------------------------

TEST(IssuedChain, VerifiesAgainstTheBuiltRootWithOpenSSLAndCerttool) {
    TempFolder temp;
    ASSERT_FALSE(temp.path.empty());
    for (const Pair& pair : kPairs) {
        SCOPED_TRACE(pair.name);
        ASSERT_TRUE(fs::is_regular_file(pair.root)) << pair.root;
        fs::path cert = temp.write(std::string("server-") + pair.name + ".pem",
                                   takeText(getServerCertificateFor(pair.flags)));
        const std::string ca = " -CAfile " + quote(pair.root.string()) + " ";

        // Accepted for the names a browser uses to reach the service.
        for (const char* check : {"-verify_hostname localhost", "-verify_ip 127.0.0.1"}) {
            Outcome r = run("openssl verify -x509_strict -purpose sslserver " + std::string(check) +
                            ca + quote(cert.string()));
            EXPECT_EQ(0, r.status) << check << "\n" << r.output;
            EXPECT_NE(std::string::npos, r.output.find(": OK")) << r.output;
        }
        Outcome r = run("certtool --verify --verify-profile=medium --verify-hostname localhost"
                        " --load-ca-certificate " +
                        quote(pair.root.string()) + " --infile " + quote(cert.string()));
        EXPECT_EQ(0, r.status) << r.output;
        EXPECT_NE(std::string::npos, r.output.find("Chain verification output: Verified"))
            << r.output;

        // The alternative names do not cover [::1] or other names.
        for (const char* check : {"-verify_ip ::1", "-verify_hostname other.example"}) {
            r = run("openssl verify -purpose sslserver " + std::string(check) + ca +
                    quote(cert.string()));
            EXPECT_NE(0, r.status) << check << "\n" << r.output;
        }
        // The two roots share a subject but not a key.
        r = run("openssl verify -CAfile " + quote(pair.otherRoot.string()) + " " +
                quote(cert.string()));
        EXPECT_NE(0, r.status) << r.output;
    }
}

TEST(IssuedChain, CarriesTheServerProperties) {
    TempFolder temp;
    const std::map<std::string, std::vector<std::string>> specific = {
        {"EC",
         {"Signature Algorithm: ecdsa-with-SHA256", "Public-Key: (384 bit)", "NIST CURVE: P-384",
          "X509v3 Key Usage: critical\n                Digital Signature\n"}},
        {"RSA",
         {"Signature Algorithm: sha256WithRSAEncryption", "Public-Key: (4096 bit)",
          "X509v3 Key Usage: critical\n                Digital Signature, Key Encipherment\n"}},
    };
    for (const Pair& pair : kPairs) {
        SCOPED_TRACE(pair.name);
        fs::path cert = temp.write("server.pem", takeText(getServerCertificateFor(pair.flags)));
        Outcome text = run("openssl x509 -noout -text -in " + quote(cert.string()));
        ASSERT_EQ(0, text.status) << text.output;
        std::vector<std::string> lines = {
            "Version: 3 (0x2)",
            "Subject: CN = localhost\n",
            "Issuer: O = ARDEQKestrova, CN = ARDEQKestrova Local Root\n",
            "X509v3 Subject Alternative Name: \n                DNS:localhost, IP "
            "Address:127.0.0.1\n",
            "X509v3 Extended Key Usage: \n                TLS Web Server Authentication, TLS Web "
            "Client "
            "Authentication\n",
            "X509v3 Basic Constraints: critical\n                CA:FALSE\n",
            "X509v3 Authority Key Identifier",
        };
        lines.insert(lines.end(), specific.at(pair.name).begin(), specific.at(pair.name).end());
        for (const std::string& line : lines) {
            EXPECT_NE(std::string::npos, text.output.find(line)) << "missing: " << line << "\n"
                                                                 << text.output;
        }

        // certtool reads the same names.
        Outcome info = run("certtool -i --infile " + quote(cert.string()));
        ASSERT_EQ(0, info.status) << info.output;
        EXPECT_NE(std::string::npos, info.output.find("DNSname: localhost")) << info.output;
        EXPECT_NE(std::string::npos, info.output.find("IPAddress: 127.0.0.1")) << info.output;

        // Valid now, for 825 days from the start of the day before the build.
        Outcome now = run("openssl x509 -noout -checkend 0 -in " + quote(cert.string()));
        EXPECT_EQ(0, now.status) << now.output;
        auto [notBefore, notAfter] = validity(cert);
        EXPECT_EQ(825 * kDay, notAfter - notBefore);
        EXPECT_EQ(0, notBefore % kDay);
        EXPECT_LE(notBefore, time(nullptr) - kDay);
    }
}

TEST(Root, BothRootsAreConstrainedTenYearAuthoritiesOfOneSubject) {
    std::string subjects[2];
    int index = 0;
    for (const fs::path& root : {kRootEC, kRootRSA}) {
        SCOPED_TRACE(root.filename().string());
        Outcome text = run("openssl x509 -noout -text -in " + quote(root.string()));
        ASSERT_EQ(0, text.status) << text.output;
        for (const char* line :
             {"X509v3 Basic Constraints: critical\n                CA:TRUE, pathlen:0\n",
              "X509v3 Key Usage: critical\n                Certificate Sign, CRL Sign\n",
              "X509v3 Name Constraints: critical\n                Permitted:\n"
              "                  DNS:localhost\n"
              "                  IP:127.0.0.1/255.255.255.255\n"
              "                  IP:0:0:0:0:0:0:0:1/FFFF:FFFF:FFFF:FFFF:FFFF:FFFF:FFFF:FFFF\n"}) {
            EXPECT_NE(std::string::npos, text.output.find(line)) << "missing: " << line << "\n"
                                                                 << text.output;
        }
        Outcome self =
            run("openssl verify -CAfile " + quote(root.string()) + " " + quote(root.string()));
        EXPECT_EQ(0, self.status) << self.output;
        // Ten years (3652 days) from the same day as the server certificates.
        auto [notBefore, notAfter] = validity(root);
        EXPECT_EQ(3652 * kDay, notAfter - notBefore);
        EXPECT_EQ(0, notBefore % kDay);
        subjects[index++] = run("openssl x509 -noout -subject -in " + quote(root.string())).output;
    }
    EXPECT_EQ(subjects[0], subjects[1]);
}

// ---------------------------------------------------------------------------
// Name constraints, with a throw-away root of the generator
// ---------------------------------------------------------------------------

TEST(NameConstraints, OnlyLoopbackNamesVerifyUnderTheRoot) {
    TempFolder temp;
    ASSERT_FALSE(temp.path.empty());
    Outcome generate =
        run(quote(kGenerator.string()) + " --constraint-set " + quote(temp.path.string()));
    ASSERT_EQ(0, generate.status) << generate.output;
    const std::string root = quote((temp.path / "root.pem").string());

    struct Case {
        const char* file;
        bool accepted;
    } cases[] = {
        {"localhost.pem", true},   // DNS localhost, IP 127.0.0.1
        {"loopback-v6.pem", true}, // DNS localhost, IP ::1
        {"other-name.pem", false}, // DNS other.example
        {"other-ip.pem", false},   // DNS localhost, IP 10.0.0.1
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        const std::string cert = quote((temp.path / c.file).string());
        Outcome openssl = run("openssl verify -CAfile " + root + " " + cert);
        Outcome certtool =
            run("certtool --verify --load-ca-certificate " + root + " --infile " + cert);
        if (c.accepted) {
            EXPECT_EQ(0, openssl.status) << openssl.output;
            EXPECT_EQ(0, certtool.status) << certtool.output;
        } else {
            EXPECT_NE(0, openssl.status) << openssl.output;
            EXPECT_NE(std::string::npos, openssl.output.find("permitted subtree violation"))
                << openssl.output;
            EXPECT_NE(0, certtool.status) << certtool.output;
            EXPECT_NE(std::string::npos, certtool.output.find("violates the signer's constraints"))
                << certtool.output;
        }
    }
    // Nothing but certificates left the generator.
    for (const fs::directory_entry& entry : fs::directory_iterator(temp.path)) {
        std::ifstream in(entry.path(), std::ios::binary);
        std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_EQ(std::string::npos, content.find(std::string("PRIVATE") + " KEY")) << entry.path();
    }
}

// ---------------------------------------------------------------------------
// No private key text in the build folder
// ---------------------------------------------------------------------------

// Second line of a PEM text: 64 characters of the key's Base64 body, found in
// nothing but that key.
std::string bodyLine(const std::string& pem) {
    size_t first = pem.find('\n');
    size_t second = first == std::string::npos ? first : pem.find('\n', first + 1);
    return second == std::string::npos ? std::string() : pem.substr(first + 1, second - first - 1);
}

bool fileContains(const fs::path& path, const std::vector<std::string>& needles,
                  std::string& outFound) {
    std::ifstream in(path, std::ios::binary);
    size_t longest = 0;
    for (const std::string& needle : needles) {
        longest = std::max(longest, needle.size());
    }
    std::string window;
    std::vector<char> chunk(1 << 20);
    while (in) {
        in.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
        window.append(chunk.data(), static_cast<size_t>(in.gcount()));
        for (const std::string& needle : needles) {
            if (window.find(needle) != std::string::npos) {
                outFound = needle;
                return true;
            }
        }
        // Keep the tail so that a needle across two chunks is still found.
        if (window.size() > longest) {
            window.erase(0, window.size() - longest);
        }
    }
    return false;
}

TEST(NoPrivateKeyText, AnywhereInTheBuildFolder) {
    std::vector<std::string> needles = {std::string("PRIVATE") + " KEY-----"};
    for (const Pair& pair : kPairs) {
        char* key = getServerPrivateKeyFor(pair.flags);
        ASSERT_NE(nullptr, key) << pair.name;
        std::string line = bodyLine(key);
        char* slot = key;
        QXWhiteBoxResultFinal(&slot);
        free(key);
        ASSERT_EQ(64u, line.size()) << pair.name;
        needles.push_back(line);
    }

    std::vector<std::string> findings;
    std::map<fs::path, bool> mustBeScanned = {
        {fs::weakly_canonical(kGeneratedSource), false},
        {fs::weakly_canonical(kCredentialsLibrary), false},
        {fs::weakly_canonical(kGenerator), false},
        {fs::weakly_canonical(kRootEC), false},
        {fs::weakly_canonical(kRootRSA), false},
    };
    size_t scanned = 0;
    std::error_code error;
    for (fs::recursive_directory_iterator
             it(kBuildDir, fs::directory_options::skip_permission_denied, error),
         end;
         it != end; it.increment(error)) {
        if (error) {
            break;
        }
        if (it->is_symlink() || !it->is_regular_file()) {
            continue;
        }
        ++scanned;
        auto marked = mustBeScanned.find(fs::weakly_canonical(it->path()));
        if (marked != mustBeScanned.end()) {
            marked->second = true;
        }
        std::string found;
        if (fileContains(it->path(), needles, found)) {
            findings.push_back(it->path().string() +
                               (found == needles[0] ? " (PEM key header)" : " (key body)"));
        }
    }
    EXPECT_FALSE(error) << error.message();
    EXPECT_GT(scanned, 0u);
    for (const auto& [path, seen] : mustBeScanned) {
        EXPECT_TRUE(seen) << "not scanned: " << path;
    }
    EXPECT_TRUE(findings.empty()) << [&] {
        std::string all;
        for (const std::string& f : findings) {
            all += f + "\n";
        }
        return all;
    }();
}

} // namespace
