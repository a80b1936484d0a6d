// Allowed-site list: domain lists turned into patterns and origins checked
// against them.
#include "service/UnlockURL.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

bool admits(const char* domainList, const char* origin) {
    setUnlockURL(domainList);
    checkUnlockURL(origin);
    const bool passed = isUrlCheckPassed();
    clearUrlCheckList();
    return passed;
}

struct PatternCase {
    const char* domainList;
    std::vector<std::string> patterns;
};

TEST(UnlockUrl, DomainListsBecomePatterns) {
    const PatternCase cases[] = {
        {"host.example", {"host\\.example"}},
        {".partner.example", {"\\S*\\.partner\\.example"}},
        {"*.partner.example", {"\\S*\\.partner\\.example"}},
        {"intranet.", {"intranet\\.\\S*"}},
        {" host.example ", {"host\\.example"}},
        {"\thost.example\n", {"host\\.example"}},
        {"a.example;;a.example; ", {"a\\.example", "a\\.example"}},
        {"b.example;a.example", {"b\\.example", "a\\.example"}},
        {"host.example/", {"host\\.example/"}},
        {";;  ;", {}},
        {"", {}},
    };
    for (const PatternCase& c : cases) {
        setUnlockURL(c.domainList);
        EXPECT_EQ(urlCheckListCopy(), c.patterns) << "list \"" << c.domainList << "\"";
        clearUrlCheckList();
    }
}

struct AdmitCase {
    const char* domainList;
    const char* origin;
    bool admitted;
};

TEST(UnlockUrl, OriginsAgainstLists) {
    const AdmitCase cases[] = {
        // Exact host; ports are ignored; a sub-domain is not the host.
        {"host.example", "https://host.example", true},
        {"host.example", "http://host.example", true},
        {"host.example", "https://host.example:8443", true},
        {"host.example", "https://app.host.example", false},
        {"host.example", "https://hostXexample", false},
        {"host.example", "https://other.example", false},
        // A leading dot or "*." admits every sub-domain, not the bare name.
        {".host.example", "https://app.host.example", true},
        {".host.example", "https://a.b.host.example", true},
        {".host.example", "https://host.example", false},
        {"*.host.example", "https://app.host.example:1", true},
        {"*.host.example", "https://host.example", false},
        // A trailing dot admits every ending.
        {"intranet.", "https://intranet.corp", true},
        {"intranet.", "https://intranet", false},
        // A trailing "/" of the entry and of the origin are both optional.
        {"host.example/", "https://host.example/", true},
        {"host.example/", "https://host.example", true},
        {"host.example", "https://host.example/", true},
        // Capitals in the scheme survive the scheme removal: the host text
        // becomes "HTTPS" and matches nothing.
        {"host.example", "HTTPS://HOST.EXAMPLE", false},
        {"host.example", "https://HOST.EXAMPLE", false},
        // Origins that are not bare http(s) origins.
        {"host.example", "https://host.example/app", false},
        {"host.example", "ftp://host.example", false},
        {"host.example", "null", false},
        {"host.example", "", false},
        {"host.example", "https://host.example:8443/x", false},
        // IPv4 hosts and lists with several entries.
        {"127.0.0.1", "http://127.0.0.1:8080", true},
        {"127.0.0.1", "http://127.0.0.10", false},
        {"a.example;;b.example; ", "https://b.example", true},
        {"a.example;;a.example; ", "https://a.example", true},
        // Entries keep their regular-expression meaning besides "*" and ".".
        {"ho?st.example", "https://hst.example", true},
        // An entry that makes the alternation invalid is caught: nothing passes.
        {"(host.example", "https://host.example", false},
        {"host.example;[", "https://host.example", false},
        // Empty and blank lists admit no site.
        {"", "https://host.example", false},
        {"  ;  ", "https://host.example", false},
    };
    for (const AdmitCase& c : cases) {
        EXPECT_EQ(admits(c.domainList, c.origin), c.admitted)
            << "list \"" << c.domainList << "\" origin \"" << c.origin << "\"";
    }
}

TEST(UnlockUrl, EarlierSuccessNeverCarriesOver) {
    ASSERT_TRUE(admits("host.example", "https://host.example"));
    // An empty list after a success: the flag is down again.
    EXPECT_FALSE(admits("", "https://host.example"));
    ASSERT_TRUE(admits("host.example", "https://host.example"));
    // A rejected origin leaves the flag as setUnlockURL left it: down.
    EXPECT_FALSE(admits("host.example", "https://host.example/path"));
    ASSERT_TRUE(admits("host.example", "https://host.example"));
    EXPECT_FALSE(admits("(broken", "https://host.example"));
}

TEST(UnlockUrl, ReadClearsThePatternList) {
    setUnlockURL("a.example;b.example");
    EXPECT_EQ(urlCheckListCopy().size(), 2u);
    clearUrlCheckList();
    EXPECT_TRUE(urlCheckListCopy().empty());
    // Without patterns no origin passes.
    checkUnlockURL("https://a.example");
    EXPECT_FALSE(isUrlCheckPassed());
}

TEST(UnlockUrl, OversizedAndNullOriginsAreRefused) {
    std::string longHost = "https://";
    for (int i = 0; i < 200; ++i) {
        longHost += "abcdefgh.";
    }
    longHost += "example";
    EXPECT_FALSE(admits(".example", longHost.c_str()));
    EXPECT_FALSE(admits("host.example", nullptr));
    setUnlockURL(nullptr);
    EXPECT_TRUE(urlCheckListCopy().empty());
}

} // namespace
