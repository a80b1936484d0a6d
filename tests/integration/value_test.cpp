// Shared values over HTTPS: one page stores, pages of other origins read
// through their own sessions, as the allowed-site list admits.
#include "tests/integration/session_support.h"

using namespace sessiontest;

namespace {

constexpr const char* kWriter = "https://writer.example";
constexpr const char* kReader = "https://reader.example:8443";
constexpr const char* kStranger = "https://stranger.example";

std::string setCall(const std::string& channel, const std::string& domainList,
                    const std::string& timeout, const std::string& value) {
    return ",\"channel\":\"" + channel + "\",\"domain_list\":\"" + domainList +
           "\",\"timeout\":\"" + timeout + "\",\"value\":\"" + value + "\"";
}

class SharedValues : public ::testing::Test {
  protected:
    std::unique_ptr<SessionService> session;
    std::string writer;
    std::string reader;
    std::string stranger;

    void SetUp() override {
        SESSION_REQUIRE_SERVICE();
        session = startSessionService();
        ASSERT_NE(session, nullptr);
        writer = openSession(*session, kFake, "", kWriter);
        reader = openSession(*session, kFake, "", kReader);
        stranger = openSession(*session, kFake, "", kStranger);
        ASSERT_FALSE(writer.empty());
        ASSERT_FALSE(reader.empty());
        ASSERT_FALSE(stranger.empty());
    }

    std::string store(const std::string& extra) {
        return field(callSession(*session, writer, "setKestrovaValue", extra, kWriter), "result");
    }

    std::string read(const std::string& id, const std::string& origin, const std::string& channel) {
        return field(callSession(*session, id, "getKestrovaValue",
                                 ",\"channel\":\"" + channel + "\"", origin),
                     "result");
    }
};

TEST_F(SharedValues, AdmittedOriginReadsOthersGetNothing) {
    ASSERT_EQ(store(setCall("c1", "reader.example; .partner.example", "0", "hello")), "0");
    EXPECT_EQ(read(reader, kReader, "c1"), "hello");
    EXPECT_EQ(read(stranger, kStranger, "c1"), "");
    // The storing page is not on its own list.
    EXPECT_EQ(read(writer, kWriter, "c1"), "");
    // A refusal leaves nothing behind for the next reader.
    EXPECT_EQ(read(reader, kReader, "c1"), "hello");
    EXPECT_EQ(read(stranger, kStranger, "c1"), "");
    EXPECT_EQ(read(reader, kReader, "never-stored"), "");
    EXPECT_GE(itestCountLogLines(*session->service, "KestrovaValue url check fail"), 2);
}

TEST_F(SharedValues, ChannelNamesIgnoreLetterCase) {
    ASSERT_EQ(store(setCall("Chan", "reader.example", "0", "first")), "0");
    ASSERT_EQ(store(setCall("CHAN", "reader.example", "5", "second")), "0");
    EXPECT_EQ(read(reader, kReader, "chan"), "second");
}

TEST_F(SharedValues, ValuesOfAnyLengthReadBackUnchanged) {
    const std::string values[] = {
        "",
        "x",
        std::string(16, 'a'),
        std::string(17, 'b'),
        std::string(64 * 1024, 'c'),
        "Grüße aus Köln, 日本語のテキスト \xF0\x9F\x94\x91",
    };
    for (const std::string& value : values) {
        ASSERT_EQ(store(setCall("data", "reader.example", "0", value)), "0") << value.size();
        EXPECT_EQ(read(reader, kReader, "data"), value) << "length " << value.size();
    }
}

TEST_F(SharedValues, MissingKeysAndNegativeTimeout) {
    EXPECT_EQ(store(setCall("c1", "reader.example", "-1", "v")), "61005");
    Answer noList = callSession(*session, writer, "setKestrovaValue",
                                R"(,"channel":"c1","value":"v")", kWriter);
    EXPECT_EQ(field(noList, "result"), "61005");
    EXPECT_EQ(noList.size(), 1u);
    EXPECT_EQ(field(callSession(*session, writer, "setKestrovaValue",
                                R"(,"domain_list":"a","value":"v")", kWriter),
                    "result"),
              "61005");
    EXPECT_EQ(field(callSession(*session, writer, "setKestrovaValue",
                                R"(,"channel":"c","domain_list":"a")", kWriter),
                    "result"),
              "61005");
    EXPECT_EQ(field(callSession(*session, reader, "getKestrovaValue", "", kReader), "result"),
              "61005");
}

TEST_F(SharedValues, SeventeenthChannelFindsTheStoreFull) {
    for (int i = 0; i < 16; ++i) {
        ASSERT_EQ(store(setCall("ch" + std::to_string(i), "reader.example", "10", "v")), "0") << i;
    }
    EXPECT_EQ(store(setCall("ch16", "reader.example", "10", "v")), "61019");
    EXPECT_EQ(itestCountLogLines(*session->service, "KestrovaValue: Full"), 1);
    // A channel already stored is still replaced in place.
    EXPECT_EQ(store(setCall("CH3", "reader.example", "10", "new")), "0");
    EXPECT_EQ(read(reader, kReader, "ch3"), "new");
}

TEST_F(SharedValues, ValueFunctionsWithoutASessionGoToTheAdapter) {
    // A first call names no session: the adapter is opened and gets the call;
    // the stand-in knows no such function.
    Answer answer = call(*session,
                         std::string("{\"FunctionName\":\"getKestrovaValue\",\"channel\":\"c1\",") +
                             kFake + "," + kGate + "}",
                         kReader);
    EXPECT_EQ(field(answer, "result"), "61005");
    EXPECT_EQ(answer.count("SessionID"), 1u);
}

} // namespace
