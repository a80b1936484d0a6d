// Session table, path table and dispatcher. The dispatcher tests load the
// stand-in adapters built beside this test (bin/SessionTest/*.so) the way the
// service loads the real one: copied per session, loaded, unlocked, gated.
#include "service/session/KestrovaQueue.h"
#include "service/session/KestrovaSession.h"
#include "service/session/KestrovaValue.h"

#include "common/json/Json.h"
#include "service/ServiceState.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr const char* kOrigin = "https://site.example";
constexpr const char* kFake = R"("PathID":"TEST","LibDir":"SessionTest","ComName":"fake")";
constexpr const char* kGate = R"("minServerVersion":"1.0.22.0804","minLibVersion":"1.6.3.10080")";

struct MapFree {
    void operator()(JsonMap* map) const { freeJsonMap(map); }
};
using Map = std::unique_ptr<JsonMap, MapFree>;

std::string valueOf(const JsonMap* map, const char* key) {
    char* value = getValue(map, key);
    std::string text = value != nullptr ? value : "<absent>";
    free(value);
    return text;
}

bool hasKey(const JsonMap* map, const char* key) {
    return valueOf(map, key) != "<absent>";
}

Map dispatch(const std::string& json, const char* origin = kOrigin) {
    Map request(parseJsonMap(json.c_str()));
    EXPECT_NE(request, nullptr) << json;
    RequestState state;
    state.request = request.get();
    state.origin = const_cast<char*>(origin);
    return Map(dispatchRequest(&state));
}

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

int takenSlots() {
    int taken = 0;
    for (int i = 0; i < KESTROVA_SESSION_SLOTS; ++i) {
        taken += sessionUseStamp(i) != KESTROVA_FREE_STAMP ? 1 : 0;
    }
    return taken;
}

class Sessions : public ::testing::Test {
  protected:
    std::string root;
    std::string copyPath;
    std::string fakeLog;

    void SetUp() override {
        char pattern[] = "/tmp/session_test_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root = pattern;
        copyPath = root + "/ARDEQKestrova";
        fakeLog = root + "/fake.log";
        setenv("KESTROVA_FAKE_LOG", fakeLog.c_str(), 1);
        unsetenv("KESTROVA_FAKE_UNLOCK");
        unsetenv("KESTROVA_FAKE_VERSION");
        gService.copyPath = copyPath;
        gService.executePath = KESTROVA_TEST_BIN_DIR;
        startSessionModule();
    }

    void TearDown() override {
        releaseAllAdapters();
        unsetenv("KESTROVA_FAKE_LOG");
        unsetenv("KESTROVA_FAKE_UNLOCK");
        unsetenv("KESTROVA_FAKE_VERSION");
        std::error_code error;
        fs::remove_all(root, error);
    }

    std::string sessionFolder(int index) const {
        return copyPath + "/Tempfile/Session_" + std::to_string(index);
    }

    // Opens a session through an echo; returns its identifier.
    std::string openSession(const std::string& extra = "", const char* adapter = kFake) {
        Map answer = dispatch(std::string("{\"FunctionName\":\"KestrovaEcho\",") + adapter + "," +
                              kGate + extra + "}");
        EXPECT_NE(answer, nullptr);
        if (answer == nullptr) {
            return "";
        }
        EXPECT_EQ(valueOf(answer.get(), "result"), "0");
        return valueOf(answer.get(), "SessionID");
    }

    std::vector<std::string> fakeEvents(const std::string& kind) const {
        std::vector<std::string> events;
        std::istringstream lines(readFile(fakeLog));
        for (std::string line; std::getline(lines, line);) {
            if (line.rfind(kind + " ", 0) == 0) {
                events.push_back(line.substr(kind.size() + 1));
            }
        }
        return events;
    }
};

// ---------------------------------------------------------------------------
// Start-up and the slot table
// ---------------------------------------------------------------------------

TEST_F(Sessions, StartUpRecreatesTheTempfileTree) {
    fs::create_directories(sessionFolder(3));
    std::ofstream(sessionFolder(3) + "/GpkiCardAdapter.so") << "old copy";
    fs::create_directories(copyPath + "/Tempfile/Session_77");
    startSessionModule();
    EXPECT_FALSE(fs::exists(sessionFolder(3) + "/GpkiCardAdapter.so"));
    EXPECT_FALSE(fs::exists(copyPath + "/Tempfile/Session_77"));
    for (int i = 0; i < KESTROVA_SESSION_SLOTS; ++i) {
        EXPECT_TRUE(fs::is_directory(sessionFolder(i))) << i;
        EXPECT_TRUE(fs::is_empty(sessionFolder(i))) << i;
    }
    EXPECT_FALSE(fs::exists(sessionFolder(32)));
    EXPECT_EQ(readFile(copyPath + "/ARDEQKestrovaMainVersion"), "Kestrova version=1.0.22.0804");
    EXPECT_EQ(findOldestSlot(), -1);
}

TEST_F(Sessions, FullTableEvictsTheOldestSlot) {
    for (int i = 0; i < KESTROVA_SESSION_SLOTS; ++i) {
        EXPECT_EQ(takeSessionSlot(("S" + std::to_string(i) + "_SID").c_str()), i);
    }
    EXPECT_EQ(findOldestSlot(), 0);
    releaseSessionSlot(5);
    EXPECT_EQ(sessionSlotAt(5)->sessionId, nullptr);
    // The first free slot is taken, and it is now the newest.
    EXPECT_EQ(takeSessionSlot("again_SID"), 5);
    EXPECT_GT(sessionUseStamp(5), sessionUseStamp(31));
    // Full: the slot taken longest ago goes, its index is reused.
    EXPECT_EQ(takeSessionSlot("new_SID"), 0);
    EXPECT_STREQ(sessionSlotAt(0)->sessionId, "new_SID");
    EXPECT_EQ(findOldestSlot(), 1);
    EXPECT_EQ(takeSessionSlot("newer_SID"), 1);
    EXPECT_EQ(findOldestSlot(), 2);
    EXPECT_EQ(takenSlots(), KESTROVA_SESSION_SLOTS);
    // Releasing a free slot or an index out of range does nothing.
    releaseSessionSlot(-1);
    releaseSessionSlot(KESTROVA_SESSION_SLOTS);
    releaseSessionSlot(7);
    releaseSessionSlot(7);
    EXPECT_EQ(takenSlots(), KESTROVA_SESSION_SLOTS - 1);
    // An empty identifier never takes a slot (it would look free).
    EXPECT_EQ(takeSessionSlot(""), -1);
    EXPECT_EQ(takenSlots(), KESTROVA_SESSION_SLOTS - 1);
}

TEST_F(Sessions, SessionsAreFoundBySubstring) {
    const int index = takeSessionSlot("ABCD1234_SID");
    EXPECT_EQ(findSession("ABCD1234_SID"), index);
    EXPECT_EQ(findSession("xABCD1234_SIDy"), index);
    EXPECT_EQ(findSession("ABCD1234"), -1);
    EXPECT_EQ(findSession("abcd1234_sid"), -1);
    EXPECT_EQ(findSession(""), -1);
    // A short identifier a page chose for itself occurs inside other pages'
    // identifiers; each page still reaches its own session.
    const int shortId = takeSessionSlot("_SID");
    const int other = takeSessionSlot("ZZZZ9999_SID");
    EXPECT_EQ(findSession("ZZZZ9999_SID"), other);
    EXPECT_EQ(findSession("_SID"), shortId);
    EXPECT_EQ(findSession("QQQQ1111_SID"), shortId);
}

TEST_F(Sessions, NewSessionIdsHaveTheirForm) {
    Map answer(newJsonMap());
    char id[64] = {};
    makeNewSessionId(answer.get(), id, sizeof id);
    EXPECT_TRUE(std::regex_match(id, std::regex("[0-9A-Z]{8}_SID"))) << id;
    EXPECT_EQ(valueOf(answer.get(), "SessionID"), id);
}

// ---------------------------------------------------------------------------
// Path table
// ---------------------------------------------------------------------------

TEST(PathTable, FileNamesAreCleaned) {
    const std::pair<std::string, std::string> cases[] = {
        {"..\\x", "..x"},
        {"../..", "...."},
        {"..", ""},
        {"AR:DEQ", "ARDEQ"},
        {"a<b>c:d\"e/f\\g|h?i*j;k&l$m", "abcdefghijklm"},
        {"GpkiCardAdapter", "GpkiCardAdapter"},
        {"...", "..."},
        {"", ""},
    };
    for (const auto& [input, expected] : cases) {
        char buffer[64];
        memset(buffer, 'Z', sizeof buffer);
        memcpy(buffer, input.c_str(), input.size() + 1);
        cleanFileName(buffer, sizeof buffer);
        EXPECT_EQ(std::string(buffer), expected) << input;
        for (size_t i = expected.size(); i < sizeof buffer; ++i) {
            ASSERT_EQ(buffer[i], '\0') << input << " at " << i;
        }
    }
    // A buffer without a terminator is read only up to its size and ends terminated.
    char full[8];
    memset(full, 'a', sizeof full);
    cleanFileName(full, sizeof full);
    EXPECT_EQ(std::string(full), "aaaaaaa");
}

TEST(PathTable, RowsMatchWithoutRegardToCase) {
    EXPECT_TRUE(isPathInTable("ARDEQ", "GpkiCardAdapter"));
    EXPECT_TRUE(isPathInTable("ardeq", "GPKICARDADAPTER"));
    EXPECT_FALSE(isPathInTable("Other", "GpkiCardAdapter"));
    EXPECT_FALSE(isPathInTable("ARDEQ", "Other"));
    EXPECT_FALSE(isPathInTable(nullptr, "GpkiCardAdapter"));

    char folder[KESTROVA_PATH_FIELD_SIZE] = "Other";
    char name[KESTROVA_PATH_FIELD_SIZE] = "Lib";
    applyPathId("0000", folder, name);
    EXPECT_STREQ(folder, "Other");
    EXPECT_STREQ(name, "Lib");
    applyPathId("5d21a7c94e3b4f08a6c2917e0b4d3f65", folder, name);
    EXPECT_STREQ(folder, "ARDEQ");
    EXPECT_STREQ(name, "GpkiCardAdapter");
}

struct ResolveCase {
    const char* request;
    bool accepted;
    const char* folder;
    const char* name;
};

TEST(PathTable, RequestsResolveOrAreRefused) {
    const ResolveCase cases[] = {
        {R"({"PathID":"5D21A7C94E3B4F08A6C2917E0B4D3F65"})", true, "ARDEQ", "GpkiCardAdapter"},
        {R"({"PathID":"5d21a7c94e3b4f08a6c2917e0b4d3f65","LibDir":"X","ComName":"Y"})", true,
         "ARDEQ", "GpkiCardAdapter"},
        {R"({"LibDir":"ardeq","ComName":"GPKICARDADAPTER"})", true, "ARDEQ", "GpkiCardAdapter"},
        {R"({"LibDir":"AR:DEQ","ComName":"GpkiCardAdapter"})", true, "ARDEQ", "GpkiCardAdapter"},
        {R"({"LibDir":"Other","ComName":"GpkiCardAdapter"})", false, "", ""},
        {R"({"PathID":"0000","LibDir":"Other","ComName":"Lib"})", true, "Other", "Lib"},
        {R"({"PathID":"0000","LibDir":"../..","ComName":"Lib"})", true, "....", "Lib"},
        {R"({"PathID":"0000","ComName":"Lib"})", false, "", ""},
        {R"({"PathID":"0000","LibDir":"..","ComName":"Lib"})", false, "", ""},
        {R"({"X":"1"})", false, "", ""},
    };
    for (const ResolveCase& c : cases) {
        Map request(parseJsonMap(c.request));
        JsonMap* answer = newJsonMap();
        setValue(answer, "SessionID", "ABC_SID");
        AdapterPath path;
        const bool accepted = resolveAdapterPath(request.get(), &answer, &path);
        EXPECT_EQ(accepted, c.accepted) << c.request;
        if (accepted) {
            EXPECT_STREQ(path.folder, c.folder) << c.request;
            EXPECT_STREQ(path.adapterName, c.name) << c.request;
            EXPECT_FALSE(hasKey(answer, "result"));
        } else {
            // A refusal answers the code alone.
            EXPECT_EQ(valueOf(answer, "result"), "61009") << c.request;
            EXPECT_FALSE(hasKey(answer, "SessionID")) << c.request;
        }
        freeJsonMap(answer);
    }
}

// ---------------------------------------------------------------------------
// Dispatcher with the stand-in adapters
// ---------------------------------------------------------------------------

TEST_F(Sessions, EchoOpensASession) {
    Map answer =
        dispatch(std::string("{\"FunctionName\":\"KestrovaEcho\",") + kFake + "," + kGate + "}");
    ASSERT_NE(answer, nullptr);
    const std::string id = valueOf(answer.get(), "SessionID");
    EXPECT_TRUE(std::regex_match(id, std::regex("[0-9A-Z]{8}_SID"))) << id;
    EXPECT_EQ(valueOf(answer.get(), "ServerVersion"), "1.0.22.0804");
    EXPECT_EQ(valueOf(answer.get(), "LibVersion"), "1,6,3,10080");
    EXPECT_EQ(valueOf(answer.get(), "result"), "0");
    EXPECT_FALSE(hasKey(answer.get(), "InstallerVersion"));

    const int slot = findSession(id.c_str());
    ASSERT_EQ(slot, 0);
    const std::string copy = sessionFolder(0) + "/fake.so";
    EXPECT_STREQ(sessionSlotAt(slot)->adapterPath, copy.c_str());
    EXPECT_TRUE(fs::exists(copy));
    // The unlock call named the page.
    EXPECT_EQ(fakeEvents("unlock"), std::vector<std::string>{std::string(kOrigin) + " " + copy});

    // A later echo on the session answers from the slot.
    Map again = dispatch("{\"FunctionName\":\"Echo\",\"SessionId\":\"" + id + "\"}");
    EXPECT_EQ(valueOf(again.get(), "result"), "0");
    EXPECT_EQ(valueOf(again.get(), "LibVersion"), "1,6,3,10080");
    EXPECT_FALSE(hasKey(again.get(), "SessionID"));
}

TEST_F(Sessions, KeysAndNamesIgnoreLetterCase) {
    Map answer = dispatch(std::string("{\"functionname\":\"ECHO\",") + kFake + "," + kGate + "}");
    EXPECT_EQ(valueOf(answer.get(), "result"), "0");
    const std::string id = valueOf(answer.get(), "SessionID");
    Map call = dispatch("{\"FUNCTIONNAME\":\"fake_count\",\"sessionid\":\"" + id + "\"}");
    EXPECT_EQ(valueOf(call.get(), "result"), "1");
}

struct GateCase {
    const char* keys;
    const char* result;
};

TEST_F(Sessions, VersionGate) {
    const GateCase cases[] = {
        {R"("minServerVersion":"1.0.22.0804","minLibVersion":"1.6.3.10080")", "0"},
        {R"("minServerVersion":"1.0.22.804")", "0"},
        {R"("minServerVersion":"1.0.21.9999","minLibVersion":"1.6.2.99999")", "0"},
        {R"("minServerVersion":"1.0.22.0804","minLibVersion":"1,6,3,10080")", "0"},
        {R"("minLibVersion":"1.6.3.10080")", "61203"},
        {R"("minServerVersion":"","minLibVersion":"1.6.3.10080")", "61203"},
        {R"("minServerVersion":"1.0.22.0805")", "61203"},
        {R"("minServerVersion":"1.0.22")", "61203"},
        {R"("minServerVersion":"1.0.x.0804")", "61203"},
        {R"("minServerVersion":"1.0.22.0804","minLibVersion":"1.6.3.10081")", "61204"},
        {R"("minServerVersion":"1.0.22.0804","minLibVersion":"1.6.3")", "61204"},
        {R"("minServerVersion":"1.0.22.0804","minLibVersion":"1..3.0")", "61204"},
    };
    for (const GateCase& c : cases) {
        Map answer = dispatch(std::string("{\"FunctionName\":\"KestrovaEcho\",") + kFake + "," +
                              c.keys + "}");
        ASSERT_NE(answer, nullptr);
        EXPECT_EQ(valueOf(answer.get(), "result"), c.result) << c.keys;
        if (std::string(c.result) != "0") {
            // The refusal carries the code alone, and the slot is free again.
            EXPECT_FALSE(hasKey(answer.get(), "SessionID")) << c.keys;
            EXPECT_EQ(takenSlots(), 0) << c.keys;
            EXPECT_TRUE(fs::is_empty(sessionFolder(0))) << c.keys;
        } else {
            releaseAllAdapters();
        }
    }
}

TEST_F(Sessions, AdapterRefusalsEndTheSession) {
    struct Case {
        const char* unlock;
        const char* version;
        const char* result;
    };
    const Case cases[] = {
        {"61905", nullptr, "61905"}, // unlock refused: its answer passes through
        {"denied", nullptr, "denied"},
        {nullptr, "61905", "61905"}, // version call answered an error code
        {nullptr, "", "<absent>"},   // no version: no result at all
    };
    for (const Case& c : cases) {
        if (c.unlock != nullptr) {
            setenv("KESTROVA_FAKE_UNLOCK", c.unlock, 1);
        } else {
            unsetenv("KESTROVA_FAKE_UNLOCK");
        }
        if (c.version != nullptr) {
            setenv("KESTROVA_FAKE_VERSION", c.version, 1);
        } else {
            unsetenv("KESTROVA_FAKE_VERSION");
        }
        Map answer = dispatch(std::string("{\"FunctionName\":\"KestrovaEcho\",") + kFake + "," +
                              kGate + "}");
        ASSERT_NE(answer, nullptr);
        EXPECT_EQ(valueOf(answer.get(), "result"), c.result);
        EXPECT_EQ(takenSlots(), 0);
        EXPECT_TRUE(fs::is_empty(sessionFolder(0)));
    }
}

TEST_F(Sessions, LibrariesThatCannotServe) {
    // Missing file: 61902; a library without either entry point: 61906.
    Map missing = dispatch(
        std::string(R"({"FunctionName":"KestrovaEcho","PathID":"0","LibDir":"SessionTest",)") +
        R"("ComName":"absent",)" + kGate + "}");
    EXPECT_EQ(valueOf(missing.get(), "result"), "61902");
    EXPECT_FALSE(hasKey(missing.get(), "SessionID"));
    Map bare = dispatch(
        std::string(R"({"FunctionName":"KestrovaEcho","PathID":"0","LibDir":"SessionTest",)") +
        R"("ComName":"noentry",)" + kGate + "}");
    EXPECT_EQ(valueOf(bare.get(), "result"), "61906");
    EXPECT_EQ(takenSlots(), 0);
    EXPECT_TRUE(fs::is_empty(sessionFolder(0)));
    // Refused paths: 61009.
    Map refused =
        dispatch(std::string(R"({"FunctionName":"KestrovaEcho","LibDir":"SessionTest",)") +
                 R"("ComName":"fake",)" + kGate + "}");
    EXPECT_EQ(valueOf(refused.get(), "result"), "61009");
}

TEST_F(Sessions, TextOnlyAdapterIsServedThroughCallMethod) {
    const char* textOnly = R"("PathID":"0","LibDir":"SessionTest","ComName":"textonly")";
    const std::string id = openSession("", textOnly);
    ASSERT_FALSE(id.empty());
    const int slot = findSession(id.c_str());
    ASSERT_GE(slot, 0);
    EXPECT_EQ(sessionSlotAt(slot)->callJsonMapMethodEntry, nullptr);
    EXPECT_EQ(fakeEvents("unlock").size(), 1u);
    EXPECT_EQ(fakeEvents("unlock")[0].rfind(kOrigin, 0), 0u);
    Map call = dispatch("{\"FunctionName\":\"Fake_Echo\",\"data\":\"payload\",\"SessionId\":\"" +
                        id + "\"}");
    EXPECT_EQ(valueOf(call.get(), "result"), "payload");
    // No release call for such an adapter, but it is unloaded and deleted.
    const std::string copy = sessionSlotAt(slot)->adapterPath;
    Map release = dispatch("{\"FunctionName\":\"KestrovaRelease\",\"SessionId\":\"" + id + "\"}");
    EXPECT_TRUE(fakeEvents("release").empty());
    EXPECT_FALSE(fs::exists(copy));
}

TEST_F(Sessions, EachSessionHasItsOwnAdapterState) {
    const std::string first = openSession();
    const std::string second = openSession();
    auto count = [](const std::string& id) {
        Map answer = dispatch("{\"FunctionName\":\"Fake_Count\",\"SessionId\":\"" + id + "\"}");
        return valueOf(answer.get(), "result");
    };
    EXPECT_EQ(count(first), "1");
    EXPECT_EQ(count(first), "2");
    EXPECT_EQ(count(second), "1");
    // Session identifiers are matched as substrings.
    EXPECT_EQ(count("x" + first + "y"), "3");
}

TEST_F(Sessions, ReleaseUnloadsAndDeletesTheCopy) {
    const std::string id = openSession();
    const int slot = findSession(id.c_str());
    const std::string copy = sessionSlotAt(slot)->adapterPath;
    ASSERT_TRUE(fs::exists(copy));
    Map answer = dispatch("{\"FunctionName\":\"KestrovaRelease\",\"SessionId\":\"" + id + "\"}");
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(answer->count, 0);
    EXPECT_EQ(fakeEvents("release"), std::vector<std::string>{copy});
    EXPECT_FALSE(fs::exists(copy));
    EXPECT_EQ(dlopen(copy.c_str(), RTLD_NOW | RTLD_NOLOAD), nullptr);
    EXPECT_EQ(findSession(id.c_str()), -1);
    EXPECT_EQ(takenSlots(), 0);
}

TEST_F(Sessions, ReleasesWithoutASession) {
    // Without an identifier: only the new one comes back.
    Map fresh = dispatch(R"({"FunctionName":"KestrovaRelease"})");
    ASSERT_NE(fresh, nullptr);
    EXPECT_EQ(fresh->count, 1);
    EXPECT_TRUE(hasKey(fresh.get(), "SessionID"));
    // With an identifier no slot holds: an empty answer.
    Map unknown = dispatch(R"({"FunctionName":"KestrovaForceRelease","SessionId":"NOPE_SID"})");
    ASSERT_NE(unknown, nullptr);
    EXPECT_EQ(unknown->count, 0);
    EXPECT_EQ(takenSlots(), 0);
}

TEST_F(Sessions, UnknownIdentifierOpensASessionUnderIt) {
    Map answer =
        dispatch(std::string("{\"FunctionName\":\"KestrovaEcho\",\"SessionId\":\"PAGE_OWN_ID\",") +
                 kFake + "," + kGate + "}");
    EXPECT_EQ(valueOf(answer.get(), "result"), "0");
    EXPECT_FALSE(hasKey(answer.get(), "SessionID"));
    EXPECT_EQ(findSession("PAGE_OWN_ID"), 0);
}

TEST_F(Sessions, BrowserModeKeepsTheSessionUntilForced) {
    const std::string id = openSession(R"(,"KestrovaMode":"1")");
    for (const char* name : {"KestrovaRelease", "KestrovaClose"}) {
        dispatch(std::string("{\"FunctionName\":\"") + name + "\",\"SessionId\":\"" + id + "\"}");
        EXPECT_GE(findSession(id.c_str()), 0) << name;
    }
    dispatch("{\"FunctionName\":\"KestrovaForceRelease\",\"SessionId\":\"" + id + "\"}");
    EXPECT_EQ(findSession(id.c_str()), -1);

    const std::string plain = openSession(R"(,"KestrovaMode":"0")");
    dispatch("{\"FunctionName\":\"KestrovaClose\",\"SessionId\":\"" + plain + "\"}");
    EXPECT_EQ(findSession(plain.c_str()), -1);
}

TEST_F(Sessions, CopyThatExistsFallsBackToTheInstalledFile) {
    const std::string installed = std::string(KESTROVA_TEST_BIN_DIR) + "/SessionTest/fake.so";
    const std::string blocking = sessionFolder(0) + "/fake.so";
    std::ofstream(blocking) << "left over";
    const std::string id = openSession();
    const int slot = findSession(id.c_str());
    ASSERT_EQ(slot, 0);
    EXPECT_STREQ(sessionSlotAt(slot)->adapterPath, installed.c_str());
    EXPECT_FALSE(sessionSlotAt(slot)->adapterIsCopy);
    dispatch("{\"FunctionName\":\"KestrovaForceRelease\",\"SessionId\":\"" + id + "\"}");
    EXPECT_EQ(fakeEvents("release"), std::vector<std::string>{installed});
    // The installation stays; the file in the session folder is not ours either.
    EXPECT_TRUE(fs::exists(installed));
    EXPECT_EQ(readFile(blocking), "left over");
}

TEST_F(Sessions, ThirtyThirdSessionEvictsTheOldest) {
    std::vector<std::string> ids;
    for (int i = 0; i < KESTROVA_SESSION_SLOTS; ++i) {
        ids.push_back(openSession());
        ASSERT_EQ(findSession(ids.back().c_str()), i);
    }
    // Touching a session does not make it younger: age is the time it was taken.
    dispatch("{\"FunctionName\":\"Fake_Count\",\"SessionId\":\"" + ids[0] + "\"}");
    const std::string newest = openSession();
    EXPECT_EQ(findSession(ids[0].c_str()), -1);
    EXPECT_EQ(findSession(newest.c_str()), 0);
    EXPECT_EQ(findSession(ids[1].c_str()), 1);
    EXPECT_EQ(fakeEvents("release"), std::vector<std::string>{sessionFolder(0) + "/fake.so"});
    EXPECT_TRUE(fs::exists(sessionFolder(0) + "/fake.so"));
}

TEST_F(Sessions, ReleaseAllGoesOldestFirst) {
    const std::string a = openSession(); // slot 0
    const std::string b = openSession(); // slot 1
    const std::string c = openSession(); // slot 2
    dispatch("{\"FunctionName\":\"KestrovaRelease\",\"SessionId\":\"" + a + "\"}");
    const std::string d = openSession(); // slot 0 again, now the newest
    ASSERT_EQ(findSession(d.c_str()), 0);
    std::ofstream(copyPath + "/stray.so") << "x";
    releaseAllAdapters();
    const std::vector<std::string> expected = {
        sessionFolder(0) + "/fake.so", // a, released by its page
        sessionFolder(1) + "/fake.so",
        sessionFolder(2) + "/fake.so",
        sessionFolder(0) + "/fake.so",
    };
    EXPECT_EQ(fakeEvents("release"), expected);
    EXPECT_EQ(takenSlots(), 0);
    EXPECT_FALSE(fs::exists(copyPath + "/stray.so"));
    EXPECT_TRUE(fs::exists(copyPath + "/ARDEQKestrovaMainVersion"));
}

TEST_F(Sessions, InstallerVersionIsRead) {
    std::ofstream(copyPath + "/SetupVersion.txt") << "1.2.3\n";
    const std::string id = openSession(R"(,"InstallerName":"Setup.exe")");
    Map again = dispatch("{\"FunctionName\":\"KestrovaEcho\",\"SessionId\":\"" + id + "\"}");
    EXPECT_EQ(valueOf(again.get(), "InstallerVersion"), "1.2.3\n");
    // A name that tries to leave the copy path is cleaned first.
    Map other = dispatch(std::string("{\"FunctionName\":\"KestrovaEcho\",") + kFake + "," + kGate +
                         R"(,"InstallerName":"../Setup.exe"})");
    EXPECT_EQ(valueOf(other.get(), "InstallerVersion"), "");
}

TEST_F(Sessions, SharedValuesThroughTheDispatcher) {
    const std::string id = openSession();
    const std::string sid = "\"SessionId\":\"" + id + "\"";
    Map noList = dispatch(
        "{\"FunctionName\":\"setKestrovaValue\",\"channel\":\"c\",\"value\":\"v\"," + sid + "}");
    EXPECT_EQ(valueOf(noList.get(), "result"), "61005");
    EXPECT_EQ(noList->count, 1);
    Map stored =
        dispatch("{\"FunctionName\":\"setKestrovaValue\",\"channel\":\"c\",\"value\":\"v\","
                 "\"domain_list\":\"site.example\",\"timeout\":\"0\"," +
                 sid + "}");
    EXPECT_EQ(valueOf(stored.get(), "result"), "0");
    Map read = dispatch("{\"FunctionName\":\"getKestrovaValue\",\"channel\":\"C\"," + sid + "}");
    EXPECT_EQ(valueOf(read.get(), "result"), "v");
    Map refused = dispatch("{\"FunctionName\":\"getKestrovaValue\",\"channel\":\"c\"," + sid + "}",
                           "https://evil.example");
    EXPECT_EQ(valueOf(refused.get(), "result"), "");
    Map noChannel = dispatch("{\"FunctionName\":\"getKestrovaValue\"," + sid + "}");
    EXPECT_EQ(valueOf(noChannel.get(), "result"), "61005");
    Map negative =
        dispatch("{\"FunctionName\":\"setKestrovaValue\",\"channel\":\"c\",\"value\":\"v\","
                 "\"domain_list\":\"site.example\",\"timeout\":\"-1\"," +
                 sid + "}");
    EXPECT_EQ(valueOf(negative.get(), "result"), "61005");
    // Without a session the call is the adapter's.
    Map adapter = dispatch(std::string("{\"FunctionName\":\"setKestrovaValue\",") + kFake + "," +
                           kGate + "}");
    EXPECT_EQ(valueOf(adapter.get(), "result"), "61005");
    EXPECT_TRUE(hasKey(adapter.get(), "SessionID"));
    EXPECT_EQ(takenSlots(), 2);
}

std::vector<std::string> gWatchCalls;

TEST_F(Sessions, TopWindowWatchWrapsTheAdapterCall) {
    setTopWindowHooks(
        [](uint32_t processId, int allWindows) {
            gWatchCalls.push_back("start " + std::to_string(processId) + " " +
                                  std::to_string(allWindows));
        },
        [] { gWatchCalls.push_back("stop"); });
    gService.processId = 4242;
    const std::string id = openSession();
    const std::string sid = ",\"SessionId\":\"" + id + "\"}";
    gWatchCalls.clear();
    dispatch(R"({"FunctionName":"Fake_Count","topuidetect":"TRUE")" + sid);
    EXPECT_EQ(gWatchCalls, (std::vector<std::string>{"start 4242 0", "stop"}));
    gWatchCalls.clear();
    dispatch(R"({"FunctionName":"Fake_Count","topuialldetect":"true")" + sid);
    EXPECT_EQ(gWatchCalls, (std::vector<std::string>{"start 4242 1", "stop"}));
    gWatchCalls.clear();
    Map hidden = dispatch(
        R"({"FunctionName":"Fake_Count","topuidetect":"false","hide_result":"true")" + sid);
    EXPECT_TRUE(gWatchCalls.empty());
    // Hiding concerns the log only: the page still gets its result.
    EXPECT_EQ(valueOf(hidden.get(), "result"), "3");
    setTopWindowHooks(nullptr, nullptr);
}

TEST_F(Sessions, NullRequestOrOriginGivesNoAnswer) {
    RequestState state;
    EXPECT_EQ(dispatchRequest(&state), nullptr);
    EXPECT_EQ(dispatchRequest(nullptr), nullptr);
    Map request(parseJsonMap(R"({"FunctionName":"KestrovaEcho"})"));
    state.request = request.get();
    EXPECT_EQ(dispatchRequest(&state), nullptr);
}

} // namespace
