// The adapter's component functions as a page meets them: calls posted to the
// real service over HTTPS reach the session's copy of GpkiCardAdapter.so,
// which drives the test GPKI component. The component echoes what it got in
// its text answers, so the whole road (Base64 body, value flags, UTF-8 to
// UTF-16 and back, key order) is checked from the outside.

#include "tests/integration/session_support.h"

using namespace sessiontest;

namespace {

struct PageCall {
    std::string keys; // JSON pairs after FunctionName and SessionId
    std::string function;
    std::string result;
};

} // namespace

TEST(AdapterThroughService, ComponentFunctionsAnswerPages) {
    SESSION_REQUIRE_SERVICE();
    auto session = startSessionService({{"KESTROVA_TEST_COMPONENT_ECHO", "1"}});
    ASSERT_NE(session, nullptr);
    const std::string id = openSession(*session);
    ASSERT_FALSE(id.empty());

    const std::string utf8 = "h\xC3\xA9llo \xE2\x82\xAC";
    const PageCall calls[] = {
        // By index, and by name when the index names another function.
        {R"(,"KestrovaFunctionIndex":"49","sOptPIN":"1234","sData":"abc","signcodepage":"65001","iFlags":"1","iHashFlag":"2")",
         "GPKI_SignData", "GPKI_SignData(1234|abc|65001|1|2)"},
        {R"(,"KestrovaFunctionIndex":"3","strCert":"MIIB","iFlags":"true")", "CAPICertGetSubject",
         "CAPICertGetSubject(MIIB|1)"},
        // Value flags are undone before the component sees the value.
        {R"(,"sData":"aGVsbG8%3D","sData_KestrovaBase64Flag":"true")", "GPKI_SignDataUpdate",
         "GPKI_SignDataUpdate(hello|<null>|0|0)"},
        {R"(,"strFilepath":"C:*token*lib.so","strFilepath_KestrovaFlag":"TRUE")", "GPKI_ReadFile",
         "GPKI_ReadFile(C:\\token\\lib.so|0)"},
        {",\"srcData\":\"" + utf8 + "\",\"codePage\":\"65001\"", "GPKI_Base64Encode",
         "GPKI_Base64Encode(" + utf8 + "|65001)"},
        {R"(,"iFlags":"0")", "GPKI_EnumCerts", "cert-a;cert-b;cert-c;"},
        {R"(,"codePage":"950")", "SetCodePage", "0"},
        {"", "GetVersion", "GetVersion(0)"},
        // Refusals of the adapter itself.
        {R"(,"sOptPIN":"1234","AdapterJsonKeyCheck":"true")", "GPKI_SignData", "61016"},
        {"", "GPKI_NoSuchFunction", "61005"},
    };
    for (const PageCall& c : calls) {
        Answer answer = callSession(*session, id, c.function, c.keys);
        EXPECT_EQ(field(answer, "result"), c.result) << c.function << c.keys;
    }
    EXPECT_GE(itestCountLogLines(*session->service, "Json map key not found: sData"), 1);
}

TEST(AdapterThroughService, PinsNeverReachTheLogInClear) {
    SESSION_REQUIRE_SERVICE();
    auto session = startSessionService();
    ASSERT_NE(session, nullptr);
    const std::string id = openSession(*session);
    ASSERT_FALSE(id.empty());

    const char* pin = "864209";
    Answer answer = callSession(*session, id, "GPKI_VerifyPIN",
                                std::string(R"(,"bPIN":")") + pin + R"(","iFlags":"0")");
    EXPECT_EQ(field(answer, "result"), "42");
    answer = callSession(*session, id, "GPKI_SignDataInit",
                         std::string(R"(,"sOptPIN":")") + pin + R"(","lFlags":"0")");
    EXPECT_EQ(field(answer, "result"), "42");

    const std::string log = itestReadLog(*session->service);
    EXPECT_NE(log.find("Into adapter function: ComponentAPI_GPKI_VerifyPIN"), std::string::npos);
    EXPECT_NE(log.find("Finish component func: GPKI_SignDataInit"), std::string::npos);
    EXPECT_EQ(log.find(pin), std::string::npos) << "a PIN was written to the log";
}
