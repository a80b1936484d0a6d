// Sessions of the real service over HTTPS: opening with the real adapter, the
// version gate, the path table, libraries that cannot serve, release and
// unloading, browser mode, eviction, start-up and shutdown.
#include "tests/integration/session_support.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <regex>

using namespace sessiontest;

namespace {

std::string installedAdapter() {
    return itestBinDir() + "/ARDEQ/GpkiCardAdapter.so";
}

// The numbers logged after label, in log order ("Release session index: 3").
std::vector<int> loggedNumbers(const SessionService& session, const std::string& label) {
    std::vector<int> numbers;
    std::istringstream log(itestReadLog(*session.service));
    for (std::string line; std::getline(log, line);) {
        const size_t at = line.find("] " + label);
        if (at != std::string::npos && line.find("[Normal]") != std::string::npos) {
            numbers.push_back(std::atoi(line.c_str() + at + 2 + label.size()));
        }
    }
    return numbers;
}

TEST(Sessions, FirstEchoOpensASessionWithTheRealAdapter) {
    SESSION_REQUIRE_SERVICE();
    auto session = startSessionService();
    ASSERT_NE(session, nullptr);
    Answer answer = call(*session, std::string("{\"FunctionName\":\"KestrovaEcho\",") + kAdapter +
                                       "," + kGate + "}");
    const std::string id = field(answer, "SessionID");
    EXPECT_EQ(id.size(), 12u) << id;
    EXPECT_TRUE(std::regex_match(id, std::regex("[0-9A-Z]{8}_SID"))) << id;
    EXPECT_EQ(field(answer, "ServerVersion"), "1.0.22.0804");
    EXPECT_EQ(field(answer, "LibVersion"), "1,6,3,10080");
    EXPECT_EQ(field(answer, "result"), "0");
    EXPECT_EQ(answer.size(), 4u);

    // The session runs on its own copy, loaded in the service.
    const std::string copy = session->sessionFolder(0) + "/GpkiCardAdapter.so";
    EXPECT_TRUE(fs::exists(copy));
    EXPECT_TRUE(isMapped(session->pid(), copy));
    EXPECT_FALSE(isMapped(session->pid(), installedAdapter()));

    // Released: unloaded (nothing of it stays mapped) and deleted.
    Answer released = callSession(*session, id, "KestrovaRelease");
    EXPECT_TRUE(released.empty());
    EXPECT_FALSE(isMapped(session->pid(), copy)) << processMaps(session->pid());
    EXPECT_FALSE(fs::exists(copy));
    EXPECT_TRUE(fs::exists(installedAdapter()));
}

TEST(Sessions, VersionGate) {
    SESSION_REQUIRE_SERVICE();
    auto session = startSessionService();
    ASSERT_NE(session, nullptr);
    const std::pair<std::string, std::string> cases[] = {
        {R"("minLibVersion":"1.6.3.10080")", "61203"},
        {R"("minServerVersion":"","minLibVersion":"1.6.3.10080")", "61203"},
        {R"("minServerVersion":"1.0.22.804","minLibVersion":"1.6.3.10080")", "0"},
        {R"("minServerVersion":"1.0.22.0804")", "0"},
        {R"("minServerVersion":"1.0.22.0804","minLibVersion":"1.6.3.10081")", "61204"},
        {R"("minServerVersion":"1.0.22.0804","minLibVersion":"1.6.3")", "61204"},
        {R"("minServerVersion":"1.0.23.0","minLibVersion":"1.6.3.10080")", "61203"},
    };
    for (const auto& [keys, result] : cases) {
        Answer answer = call(*session, std::string("{\"FunctionName\":\"KestrovaEcho\",") +
                                           kAdapter + "," + keys + "}");
        EXPECT_EQ(field(answer, "result"), result) << keys;
        if (result != "0") {
            // The code alone, and the slot is free again: no copy left, none mapped.
            EXPECT_EQ(answer.size(), 1u) << keys;
            EXPECT_TRUE(fs::is_empty(session->sessionFolder(0))) << keys;
            EXPECT_EQ(processMaps(session->pid()).find("GpkiCardAdapter"), std::string::npos)
                << keys;
        } else {
            EXPECT_EQ(
                callSession(*session, field(answer, "SessionID"), "KestrovaForceRelease").size(),
                0u);
        }
    }
}

TEST(Sessions, PathTable) {
    SESSION_REQUIRE_SERVICE();
    auto session = startSessionService();
    ASSERT_NE(session, nullptr);
    struct Case {
        const char* keys;
        const char* result;
        const char* mapped; // file below the bin folder or the session folder that serves
    };
    const Case cases[] = {
        {R"("PathID":"5d21a7c94e3b4f08a6c2917e0b4d3f65","LibDir":"X","ComName":"Y")", "0",
         "GpkiCardAdapter.so"},
        {R"("LibDir":"ardeq","ComName":"GPKICARDADAPTER")", "0", "GpkiCardAdapter.so"},
        {R"("LibDir":"AR:DEQ","ComName":"GpkiCardAdapter")", "0", "GpkiCardAdapter.so"},
        {R"("LibDir":"Other","ComName":"GpkiCardAdapter")", "61009", nullptr},
        {R"("PathID":"0000","LibDir":"SessionTest","ComName":"fake")", "0", "fake.so"},
        {R"("PathID":"0000","ComName":"fake")", "61009", nullptr},
        {R"("PathID":"0000","LibDir":"..","ComName":"fake")", "61009", nullptr},
        {R"("PathID":"0000","LibDir":"Session/Test","ComName":"fake")", "0", "fake.so"},
    };
    for (const Case& c : cases) {
        Answer answer = call(*session, std::string("{\"FunctionName\":\"KestrovaEcho\",") + c.keys +
                                           "," + kGate + "}");
        EXPECT_EQ(field(answer, "result"), c.result) << c.keys;
        if (c.mapped != nullptr) {
            const std::string copy = session->sessionFolder(0) + "/" + c.mapped;
            EXPECT_TRUE(isMapped(session->pid(), copy)) << c.keys;
            callSession(*session, field(answer, "SessionID"), "KestrovaForceRelease");
            EXPECT_FALSE(isMapped(session->pid(), copy)) << c.keys;
        } else {
            EXPECT_EQ(answer.size(), 1u) << c.keys;
        }
    }
}

TEST(Sessions, LibrariesThatCannotServe) {
    SESSION_REQUIRE_SERVICE();
    auto session = startSessionService({{"KESTROVA_FAKE_UNLOCK", "61905"}});
    ASSERT_NE(session, nullptr);
    const std::pair<std::string, std::string> cases[] = {
        {R"("PathID":"0","LibDir":"SessionTest","ComName":"absent")", "61902"},
        {R"("PathID":"0","LibDir":"NoSuchFolder","ComName":"GpkiCardAdapter")", "61902"},
        {R"("PathID":"0","LibDir":"SessionTest","ComName":"noentry")", "61906"},
        // The stand-in refuses to unlock: its answer is the page's result.
        {R"("PathID":"0","LibDir":"SessionTest","ComName":"fake")", "61905"},
    };
    for (const auto& [keys, result] : cases) {
        Answer answer =
            call(*session, "{\"FunctionName\":\"KestrovaEcho\"," + keys + "," + kGate + "}");
        EXPECT_EQ(field(answer, "result"), result) << keys;
        EXPECT_EQ(answer.size(), 1u) << keys;
        EXPECT_TRUE(fs::is_empty(session->sessionFolder(0))) << keys;
        EXPECT_EQ(processMaps(session->pid()).find("/SessionTest/"), std::string::npos) << keys;
        EXPECT_EQ(processMaps(session->pid()).find("/Tempfile/"), std::string::npos) << keys;
    }
    EXPECT_GE(itestCountLogLines(*session->service, "Adapter load error reason: "), 2);
}

TEST(Sessions, ExistingCopyFallsBackToTheInstalledFile) {
    SESSION_REQUIRE_SERVICE();
    auto session = startSessionService();
    ASSERT_NE(session, nullptr);
    const std::string blocking = session->sessionFolder(0) + "/GpkiCardAdapter.so";
    std::ofstream(blocking) << "left over";
    const std::string id = openSession(*session);
    ASSERT_FALSE(id.empty());
    EXPECT_TRUE(isMapped(session->pid(), installedAdapter()));
    EXPECT_EQ(itestCountLogLines(*session->service, "Origin adapter: Active"), 1);
    callSession(*session, id, "KestrovaForceRelease");
    // The installation stays in place.
    EXPECT_TRUE(fs::exists(installedAdapter()));
    EXPECT_FALSE(isMapped(session->pid(), installedAdapter()));
    EXPECT_EQ(readWhole(blocking), "left over");
}

TEST(Sessions, BrowserModeAndReleases) {
    SESSION_REQUIRE_SERVICE();
    auto session = startSessionService();
    ASSERT_NE(session, nullptr);
    const std::string id = openSession(*session, kAdapter, R"(,"KestrovaMode":"1")");
    const std::string copy = session->sessionFolder(0) + "/GpkiCardAdapter.so";
    for (const char* name : {"KestrovaRelease", "KestrovaClose"}) {
        EXPECT_TRUE(callSession(*session, id, name).empty()) << name;
        EXPECT_TRUE(isMapped(session->pid(), copy)) << name;
    }
    // Still served: an echo on the session answers from it without a new identifier.
    Answer echo = callSession(*session, id, "KestrovaEcho");
    EXPECT_EQ(field(echo, "result"), "0");
    EXPECT_EQ(field(echo, "LibVersion"), "1,6,3,10080");
    EXPECT_EQ(echo.count("SessionID"), 0u);
    EXPECT_TRUE(callSession(*session, id, "KestrovaForceRelease").empty());
    EXPECT_FALSE(isMapped(session->pid(), copy));
    EXPECT_FALSE(fs::exists(copy));

    // Releases naming no session.
    Answer fresh = call(*session, R"({"FunctionName":"KestrovaRelease"})");
    EXPECT_EQ(fresh.size(), 1u);
    EXPECT_EQ(fresh.count("SessionID"), 1u);
    EXPECT_TRUE(callSession(*session, "NOPE_SID", "KestrovaForceRelease").empty());
}

TEST(Sessions, IdentifiersMatchAsSubstringsAndNamesInAnyCase) {
    SESSION_REQUIRE_SERVICE();
    auto session = startSessionService();
    ASSERT_NE(session, nullptr);
    Answer opened =
        call(*session, std::string("{\"functionname\":\"ECHO\",") + kAdapter + "," + kGate + "}");
    EXPECT_EQ(field(opened, "result"), "0");
    const std::string id = field(opened, "SessionID");
    Answer echo =
        call(*session, "{\"FUNCTIONNAME\":\"kestrovaecho\",\"sessionid\":\"x" + id + "y\"}");
    EXPECT_EQ(field(echo, "result"), "0");
    EXPECT_EQ(echo.count("SessionID"), 0u);
    // No second session was opened for it.
    EXPECT_TRUE(fs::is_empty(session->sessionFolder(1)));
    EXPECT_EQ(itestCountLogLines(*session->service, "Find the loaded adapter"), 1);
}

TEST(Sessions, ThirtyThirdSessionEvictsTheOldest) {
    SESSION_REQUIRE_SERVICE();
    auto session = startSessionService();
    ASSERT_NE(session, nullptr);
    std::vector<std::string> ids;
    for (int i = 0; i < 32; ++i) {
        ids.push_back(openSession(*session, kFake));
    }
    EXPECT_EQ(itestCountLogLines(*session->service, "Kestrova slot is full"), 0);
    const std::string newest = openSession(*session, kFake);
    EXPECT_EQ(
        itestCountLogLines(*session->service, "Kestrova slot is full, release the oldest one"), 1);
    const std::vector<int> released = loggedNumbers(*session, "Release session index: ");
    EXPECT_EQ(released, std::vector<int>{0});
    const std::vector<int> taken = loggedNumbers(*session, "Session index: ");
    ASSERT_EQ(taken.size(), 33u);
    EXPECT_EQ(taken.back(), 0);
    // The evicted page's identifier names no session any more: a release of
    // it finds nothing, while the newest one is served from slot 0.
    EXPECT_TRUE(callSession(*session, ids[0], "KestrovaForceRelease").empty());
    EXPECT_EQ(loggedNumbers(*session, "Release session index: ").size(), 1u);
    callSession(*session, newest, "KestrovaForceRelease");
    EXPECT_EQ(loggedNumbers(*session, "Release session index: "), (std::vector<int>{0, 0}));
}

TEST(Sessions, StartUpRemovesAnOldTempfileTree) {
    SESSION_REQUIRE_SERVICE();
    auto session = prepareSessionService();
    ASSERT_NE(session, nullptr);
    fs::create_directories(session->sessionFolder(3));
    std::ofstream(session->sessionFolder(3) + "/GpkiCardAdapter.so") << "old";
    fs::create_directories(session->copyPath() + "/Tempfile/Session_40/deep");
    ASSERT_TRUE(launchSessionService(*session));
    EXPECT_FALSE(fs::exists(session->sessionFolder(3) + "/GpkiCardAdapter.so"));
    EXPECT_FALSE(fs::exists(session->copyPath() + "/Tempfile/Session_40"));
    int folders = 0;
    for (const auto& entry : fs::directory_iterator(session->copyPath() + "/Tempfile")) {
        EXPECT_TRUE(entry.is_directory());
        ++folders;
    }
    EXPECT_EQ(folders, 32);
    for (int i = 0; i < 32; ++i) {
        EXPECT_TRUE(fs::is_directory(session->sessionFolder(i))) << i;
    }
    EXPECT_EQ(readWhole(session->copyPath() + "/ARDEQKestrovaMainVersion"),
              "Kestrova version=1.0.22.0804");
}

TEST(Sessions, TerminationReleasesEveryAdapterOldestFirst) {
    SESSION_REQUIRE_SERVICE();
    auto session = prepareSessionService();
    ASSERT_NE(session, nullptr);
    const std::string fakeLog = session->service->root + "/fake.log";
    session->service->environment.push_back("KESTROVA_FAKE_LOG=" + fakeLog);
    ASSERT_TRUE(launchSessionService(*session));
    const std::string a = openSession(*session, kFake);    // slot 0
    const std::string b = openSession(*session, kFake);    // slot 1
    const std::string c = openSession(*session, kAdapter); // slot 2, the real adapter
    callSession(*session, a, "KestrovaRelease");
    const std::string d = openSession(*session, kFake); // slot 0, now the newest
    ASSERT_FALSE(d.empty());

    EXPECT_EQ(itestStopService(*session->service, SIGTERM), 0)
        << itestReadOutput(*session->service);
    const std::string log = itestReadLog(*session->service);
    const size_t final = log.find("[KestrovaFinal] Start release all adapters");
    ASSERT_NE(final, std::string::npos);
    std::vector<int> order;
    std::istringstream tail(log.substr(final));
    for (std::string line; std::getline(tail, line);) {
        const size_t at = line.find("Release session index: ");
        if (at != std::string::npos) {
            order.push_back(std::atoi(line.c_str() + at + 23));
        }
    }
    EXPECT_EQ(order, (std::vector<int>{1, 2, 0}));
    // Every stand-in got its release call, in that order.
    const std::string released = readWhole(fakeLog);
    const size_t first = released.find("release " + session->sessionFolder(0));
    const size_t second = released.find("release " + session->sessionFolder(1));
    const size_t third = released.rfind("release " + session->sessionFolder(0));
    EXPECT_NE(first, std::string::npos);
    EXPECT_LT(first, second);
    EXPECT_LT(second, third);
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(fs::is_empty(session->sessionFolder(i))) << i;
    }
    EXPECT_EQ(itestCountLogLines(*session->service, "Release adapters success"), 1);
}

class SessionCycles : public ::testing::TestWithParam<const char*> {};

TEST_P(SessionCycles, ThousandSessionsLeaveMemoryAndDescriptorsFlat) {
    const std::string adapter = GetParam();
    SESSION_REQUIRE_SERVICE();
    // Freed memory goes back at once, so that resident memory shows leaks
    // rather than the sanitizer's quarantine of a sanitized build.
    auto session = startSessionService({{"ASAN_OPTIONS", "quarantine_size_mb=0:detect_leaks=0"}});
    ASSERT_NE(session, nullptr);
    auto cycle = [&](int times) {
        for (int i = 0; i < times; ++i) {
            const std::string id = openSession(*session, adapter);
            ASSERT_FALSE(id.empty()) << "session " << i;
            ASSERT_TRUE(callSession(*session, id, "KestrovaRelease").empty());
        }
    };
    cycle(50); // warm-up: allocator pools, TLS session caches, the log file
    const long rssBefore = residentKiB(session->pid());
    long fdsBefore = openDescriptors(session->pid());
    for (int tries = 0; tries < 5; ++tries) { // the smallest of a few looks, for the same reason
        usleep(20 * 1000);
        fdsBefore = std::min(fdsBefore, openDescriptors(session->pid()));
    }
    const std::string descriptorsBefore = describeDescriptors(session->pid());
    cycle(1000);
    const long rssAfter = residentKiB(session->pid());
    // The log is opened and closed for every line, so a listener thread still
    // writing the last request's closing lines holds one descriptor for a
    // moment: let it settle (bounded) before comparing.
    long fdsAfter = openDescriptors(session->pid());
    for (int tries = 0; fdsAfter > fdsBefore && tries < 100; ++tries) {
        usleep(20 * 1000);
        fdsAfter = openDescriptors(session->pid());
    }
    RecordProperty("rss_before_kib", std::to_string(rssBefore));
    RecordProperty("rss_after_kib", std::to_string(rssAfter));
    RecordProperty("fds_before", std::to_string(fdsBefore));
    RecordProperty("fds_after", std::to_string(fdsAfter));
    std::cout << "[ figures  ] " << (adapter == kAdapter ? "real adapter" : "stand-in")
              << ": resident " << rssBefore << " KiB -> " << rssAfter << " KiB, descriptors "
              << fdsBefore << " -> " << fdsAfter << std::endl;
    EXPECT_EQ(fdsAfter, fdsBefore) << "before:\n"
                                   << descriptorsBefore << "after:\n"
                                   << describeDescriptors(session->pid());
#ifndef __SANITIZE_ADDRESS__
    // A leak of a library, or of a few KiB per session, shows well above this.
    // (A sanitized service keeps metadata for every library it loaded, so
    // there the figures are only reported.)
    EXPECT_LT(rssAfter - rssBefore, 8 * 1024);
#endif
    EXPECT_EQ(processMaps(session->pid()).find("/Tempfile/"), std::string::npos);
    for (int i = 0; i < 32; ++i) {
        EXPECT_TRUE(fs::is_empty(session->sessionFolder(i))) << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Adapters, SessionCycles, ::testing::Values(kAdapter, kFake),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                             return std::string(info.param) == kAdapter ? "RealAdapter" : "StandIn";
                         });

} // namespace
