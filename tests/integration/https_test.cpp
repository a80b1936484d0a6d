// The browser-facing HTTPS policy of the running service, seen by real
// clients: libcurl (GnuTLS) and gnutls-cli.

#include "tests/integration/support/KestrovaITest.h"

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <set>
#include <thread>

namespace {

// The call used throughout: a release of a session nobody holds. It needs no
// adapter and the dispatcher answers it, so it reaches every step of the
// request handler.
std::string releaseCall(const std::string& sessionId)
{
    return "{\"FunctionName\":\"KestrovaRelease\",\"SessionId\":\"" + sessionId + "\"}";
}

} // namespace

class HttpsPolicy : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        if (itestRootBundle().empty())
            return;
        std::string error;
        service_ = itestStartService({}, &error).release();
        startError_ = error;
    }
    static void TearDownTestSuite()
    {
        // Everything the suite did must end in an orderly stop: no crash, no
        // leak report of the sanitizers (which would change the exit code).
        if (service_ && itestIsRunning(*service_)) {
            EXPECT_EQ(itestStopService(*service_), 0) << itestReadOutput(*service_);
        }
        delete service_;
        service_ = nullptr;
    }
    void SetUp() override
    {
        ITEST_REQUIRE_TLS_ROOTS();
        ASSERT_NE(service_, nullptr) << startError_;
        ASSERT_TRUE(itestIsRunning(*service_)) << itestReadOutput(*service_);
    }

    ITestCall call(int portIndex = 0) const
    {
        ITestCall c;
        c.port = service_->ports[portIndex];
        return c;
    }
    std::string log() const { return itestReadLog(*service_); }
    int count(const std::string& text) const { return itestCountLogLines(*service_, text); }

    static ITestService* service_;
    static std::string startError_;
};

ITestService* HttpsPolicy::service_ = nullptr;
std::string HttpsPolicy::startError_;

// ---------------------------------------------------------------------------
// TLS
// ---------------------------------------------------------------------------

TEST_F(HttpsPolicy, AcceptsTls12And13)
{
    struct Case {
        long min, max;
        const char* name;
    } cases[] = {
        {CURL_SSLVERSION_TLSv1_2, CURL_SSLVERSION_MAX_TLSv1_2, "TLS 1.2"},
        {CURL_SSLVERSION_TLSv1_3, CURL_SSLVERSION_MAX_TLSv1_3, "TLS 1.3"},
    };
    for (const auto& c : cases) {
        int before = count("[Normal] TLS version: " + std::string(c.name));
        ITestCall request = call();
        request.tlsMin = c.min;
        request.tlsMax = c.max;
        request.origin = "https://host.example";
        ITestReply reply = itestPostCall(releaseCall("TLSCASE0_SID"), request);
        ASSERT_TRUE(reply.transportOk()) << c.name << ": " << reply.curlError;
        EXPECT_EQ(reply.status, 200) << c.name;
        EXPECT_EQ(count("[Normal] TLS version: " + std::string(c.name)), before + 1) << c.name;
    }
}

TEST_F(HttpsPolicy, HandshakeFailsForOldVersionsAndSha1OnlySignatures)
{
    struct Case {
        const char* priority;
        bool succeeds;
    } cases[] = {
        // The control case proves the client and the trust set-up work.
        {"NORMAL:-VERS-ALL:+VERS-TLS1.2", true},
        {"NORMAL:-VERS-ALL:+VERS-TLS1.3", true},
        {"NORMAL:-VERS-ALL:+VERS-TLS1.0", false},
        {"NORMAL:-VERS-ALL:+VERS-TLS1.1", false},
        {"NORMAL:-VERS-ALL:+VERS-TLS1.1:+VERS-TLS1.0", false},
        {"NORMAL:-VERS-ALL:+VERS-TLS1.2:-SIGN-ALL:+SIGN-RSA-SHA1:+SIGN-ECDSA-SHA1", false},
    };
    for (int port : {service_->ports[0], service_->ports[2]}) {
        for (bool ipv6 : {false, true}) {
            for (const auto& c : cases) {
                ITestCommandResult r = itestTlsHandshake(port, ipv6, c.priority);
                if (c.succeeds) {
                    EXPECT_EQ(r.exitCode, 0) << c.priority << "\n" << r.output;
                } else {
                    EXPECT_NE(r.exitCode, 0) << c.priority << "\n" << r.output;
                }
            }
        }
    }
    EXPECT_TRUE(itestIsRunning(*service_));
}

// ---------------------------------------------------------------------------
// Methods and content types
// ---------------------------------------------------------------------------

TEST_F(HttpsPolicy, RefusesOtherMethodsAndNonFormBodiesWithoutAnswer)
{
    struct Case {
        const char* method;
        const char* contentType;
        std::vector<std::string> headers;
        const char* logLine; // "" when nothing is logged
    } cases[] = {
        {"GET", "", {}, "[Error] Request method error: GET"},
        {"PUT", "application/x-www-form-urlencoded", {}, "[Error] Request method error: PUT"},
        // Not a private-network preflight: the browser's request header is missing.
        {"OPTIONS", "", {"Access-Control-Request-Method: POST"}, "[Error] Request method error: OPTIONS"},
        {"OPTIONS", "",
         {"Access-Control-Request-Method: GET", "Access-Control-Request-Private-Network: true"},
         "[Error] Request method error: OPTIONS"},
        {"POST", "application/json", {}, ""},
        {"POST", "text/plain", {}, ""},
    };
    for (const auto& c : cases) {
        int before = *c.logLine ? count(c.logLine) : 0;
        ITestCall request = call();
        request.method = c.method;
        request.contentType = c.contentType;
        request.headers = c.headers;
        request.origin = "https://host.example";
        request.body = c.method == std::string("POST") || c.method == std::string("PUT")
                           ? itestEncodeParameter(releaseCall("METHOD00_SID"))
                           : "";
        ITestReply reply = itestRequest(request);
        EXPECT_EQ(reply.curlCode, CURLE_GOT_NOTHING)
            << c.method << " " << c.contentType << ": status " << reply.status << " " << reply.curlError;
        if (*c.logLine) {
            EXPECT_EQ(count(c.logLine), before + 1) << c.method;
        }
    }
}

TEST_F(HttpsPolicy, PrivateNetworkPreflightGets204WithCorsHeaders)
{
    struct Case {
        std::optional<std::string> origin;
        std::optional<std::string> allowOrigin;
    } cases[] = {
        {"https://host.example", "https://host.example"},
        {"http://127.0.0.1:8080", "http://127.0.0.1:8080"},
        {"null", std::nullopt},
        {std::nullopt, std::nullopt},
    };
    for (const auto& c : cases) {
        ITestCall request = call(1);
        request.method = "OPTIONS";
        request.origin = c.origin;
        request.headers = {"Access-Control-Request-Method: POST",
                           "Access-Control-Request-Private-Network: true"};
        ITestReply reply = itestRequest(request);
        ASSERT_TRUE(reply.transportOk()) << reply.curlError;
        EXPECT_EQ(reply.status, 204);
        EXPECT_EQ(reply.body, "");
        EXPECT_EQ(reply.header("Access-Control-Allow-Origin"), c.allowOrigin) << c.origin.value_or("(none)");
        EXPECT_EQ(reply.header("Access-Control-Allow-Methods").value_or(""), "POST");
        EXPECT_EQ(reply.header("Access-Control-Allow-Private-Network").value_or(""), "true");
        EXPECT_EQ(reply.header("Access-Control-Max-Age").value_or(""), "30");
        EXPECT_FALSE(reply.header("X-XSS-Protection"));
        EXPECT_FALSE(reply.header("Content-Type"));
    }
}

// ---------------------------------------------------------------------------
// Host and origin
// ---------------------------------------------------------------------------

TEST_F(HttpsPolicy, RequestsNotAddressingLocalHostGet61904WithoutAllowOrigin)
{
    std::string p = std::to_string(service_->ports[0]);
    for (const std::string& host : std::vector<std::string>{"[::1]:" + p, "localhost", "127.0.0.1",
                                                            "evil.example:" + p, "LOCALHOST:" + p,
                                                            "127.0.0.10:" + p}) {
        ITestCall request = call();
        request.host = host;
        request.origin = "https://host.example";
        ITestReply reply = itestPostCall(releaseCall("HOSTCASE_SID"), request);
        ASSERT_TRUE(reply.transportOk()) << host << ": " << reply.curlError;
        EXPECT_EQ(reply.status, 200) << host;
        // Exactly the serialised answer map, nothing around it.
        EXPECT_EQ(reply.body, "{\"result\": \"NjE5MDQ=\"}") << host;
        EXPECT_EQ(reply.header("Content-Length").value_or(""), std::to_string(reply.body.size()));
        EXPECT_FALSE(reply.header("Access-Control-Allow-Origin")) << host;
        EXPECT_EQ(reply.header("X-XSS-Protection").value_or(""), "1; mode=block");
    }
    EXPECT_GE(count("[Warning] This connection is NOT from localhost"), 6);
}

TEST_F(HttpsPolicy, LocalHostFormsReachTheDispatcher)
{
    std::string p = std::to_string(service_->ports[0]);
    for (const std::string& host : std::vector<std::string>{"localhost:" + p, "127.0.0.1:" + p}) {
        ITestCall request = call();
        request.host = host;
        request.origin = "https://host.example";
        ITestReply reply = itestPostCall(releaseCall("HOSTOKAY_SID"), request);
        ASSERT_TRUE(reply.transportOk()) << host << ": " << reply.curlError;
        EXPECT_EQ(reply.status, 200);
        EXPECT_EQ(reply.header("Access-Control-Allow-Origin").value_or(""), "https://host.example");
        auto answer = itestDecodeAnswer(reply.body);
        ASSERT_TRUE(answer) << reply.body;
        EXPECT_EQ(answer->count("result") ? answer->at("result") : "", "") << reply.body;
    }
}

TEST_F(HttpsPolicy, OriginComesFromOriginElseFromReferer)
{
    struct Case {
        std::optional<std::string> origin;
        std::optional<std::string> referer;
        std::optional<std::string> allowOrigin; // nothing: no header
        bool noOrigin;                          // answered with 61012
    } cases[] = {
        {"https://host.example", "https://other.example/x/", "https://host.example", false},
        {std::nullopt, "https://host.example/app/", "https://host.example", false},
        {std::nullopt, "https://host.example:8443/app/page", "https://host.example:8443", false},
        {"null", "https://host.example/app/", "https://host.example", false},
        {"", "https://host.example/", "https://host.example", false},
        {std::nullopt, "null", std::nullopt, true},
        {std::nullopt, std::nullopt, std::nullopt, true},
        {"null", std::nullopt, std::nullopt, true},
        {std::nullopt, "https:host.example", std::nullopt, true},
        // "file:", "", "" make the origin "file://", which is no http origin.
        {std::nullopt, "file:///C:/page.html", std::nullopt, false},
    };
    for (const auto& c : cases) {
        std::string name = "origin=" + c.origin.value_or("(none)") + " referer=" + c.referer.value_or("(none)");
        ITestCall request = call(2);
        request.origin = c.origin;
        request.referer = c.referer;
        ITestReply reply = itestPostCall(releaseCall("ORIGIN00_SID"), request);
        ASSERT_TRUE(reply.transportOk()) << name << ": " << reply.curlError;
        EXPECT_EQ(reply.status, 200) << name;
        EXPECT_EQ(reply.header("Access-Control-Allow-Origin"), c.allowOrigin) << name;
        auto answer = itestDecodeAnswer(reply.body);
        ASSERT_TRUE(answer) << name << ": " << reply.body;
        if (c.noOrigin) {
            EXPECT_EQ(reply.body, "{\"result\": \"NjEwMTI=\"}") << name;
        } else {
            EXPECT_NE(answer->count("result") ? answer->at("result") : "", "61012") << name;
        }
    }
    EXPECT_GE(count("[Normal] New Origin: https://host.example:8443"), 1);
    EXPECT_GE(count("[Normal] New Origin: file://"), 1);
    EXPECT_GE(count("[Warning] Extract origin from referer: Fail"), 4);
}

TEST_F(HttpsPolicy, QueryArgumentsCannotStandInForHeaders)
{
    std::string p = std::to_string(service_->ports[0]);
    // A page chooses its URL freely; it must not claim another origin or a
    // local Host through it.
    ITestCall spoofOrigin = call();
    spoofOrigin.path = "/?origin=https%3A%2F%2Fvictim.example&referer=https%3A%2F%2Fvictim.example%2F";
    spoofOrigin.origin = "https://page.example";
    ITestReply reply = itestPostCall(releaseCall("SPOOF000_SID"), spoofOrigin);
    ASSERT_TRUE(reply.transportOk()) << reply.curlError;
    EXPECT_EQ(reply.header("Access-Control-Allow-Origin").value_or(""), "https://page.example");

    ITestCall onlyQuery = call();
    onlyQuery.path = "/?origin=https%3A%2F%2Fvictim.example";
    reply = itestPostCall(releaseCall("SPOOF001_SID"), onlyQuery);
    ASSERT_TRUE(reply.transportOk()) << reply.curlError;
    EXPECT_EQ(reply.body, "{\"result\": \"NjEwMTI=\"}");
    EXPECT_FALSE(reply.header("Access-Control-Allow-Origin"));

    ITestCall spoofHost = call();
    spoofHost.path = "/?host=localhost%3A" + p;
    spoofHost.host = "evil.example:" + p;
    spoofHost.origin = "https://page.example";
    reply = itestPostCall(releaseCall("SPOOF002_SID"), spoofHost);
    ASSERT_TRUE(reply.transportOk()) << reply.curlError;
    EXPECT_EQ(reply.body, "{\"result\": \"NjE5MDQ=\"}");
}

// ---------------------------------------------------------------------------
// Response headers
// ---------------------------------------------------------------------------

TEST_F(HttpsPolicy, KeepAliveOnlyForKeepAliveConnections)
{
    struct Case {
        std::vector<std::string> headers;
        bool keepAlive;
    } cases[] = {
        {{"Connection: keep-alive"}, true},
        {{"Connection: Keep-Alive"}, true},
        {{"Connection: close"}, false},
        {{}, false},
    };
    for (const auto& c : cases) {
        ITestCall request = call();
        request.origin = "https://host.example";
        request.headers = c.headers;
        ITestReply reply = itestPostCall(releaseCall("KEEPALIV_SID"), request);
        ASSERT_TRUE(reply.transportOk()) << reply.curlError;
        EXPECT_EQ(reply.status, 200);
        if (c.keepAlive) {
            EXPECT_EQ(reply.header("Keep-Alive").value_or(""), "timeout=15, max=100");
        } else {
            EXPECT_FALSE(reply.header("Keep-Alive"));
        }
        EXPECT_EQ(reply.header("X-XSS-Protection").value_or(""), "1; mode=block");
        EXPECT_FALSE(reply.header("Content-Type"));
        // Headers in the order they are added.
        size_t origin = 0, xss = 0;
        for (size_t i = 0; i < reply.headers.size(); ++i) {
            if (reply.headers[i].first == "Access-Control-Allow-Origin")
                origin = i + 1;
            if (reply.headers[i].first == "X-XSS-Protection")
                xss = i + 1;
        }
        EXPECT_TRUE(origin && xss && origin < xss);
    }
}

TEST_F(HttpsPolicy, Ipv6ListenersServe)
{
    for (int i = 0; i < 3; ++i) {
        ITestCall request = call(i);
        request.ipv6 = true;
        request.origin = "https://host.example";
        ITestReply reply = itestPostCall(releaseCall("IPV6CALL_SID"), request);
        ASSERT_TRUE(reply.transportOk()) << reply.curlError;
        EXPECT_EQ(reply.status, 200);
        EXPECT_EQ(reply.header("Access-Control-Allow-Origin").value_or(""), "https://host.example");
    }
}

// ---------------------------------------------------------------------------
// Bodies
// ---------------------------------------------------------------------------

TEST_F(HttpsPolicy, BodyThatCannotBeDecodedIsRefused)
{
    for (const std::string& body : {std::string("Parameter=%%%%"), std::string("Other=abc"),
                                    std::string("Parameter=") + itestPercentEncode(itestBase64Encode("{\"open\": \"")),
                                    std::string("")}) {
        ITestCall request = call();
        request.origin = "https://host.example";
        request.body = body;
        ITestReply reply = itestRequest(request);
        EXPECT_EQ(reply.curlCode, CURLE_GOT_NOTHING) << body << ": " << reply.status;
    }
    // The next request is decoded from its own body alone.
    ITestCall request = call();
    request.origin = "https://host.example";
    ITestReply reply = itestPostCall(releaseCall("AFTERBAD_SID"), request);
    ASSERT_TRUE(reply.transportOk()) << reply.curlError;
    EXPECT_EQ(reply.status, 200);
}

TEST_F(HttpsPolicy, FormFieldsAroundParameterAndMultipartBodiesAreRead)
{
    std::string encoded = itestPercentEncode(itestBase64Encode(releaseCall("FORMBODY_SID")));
    std::string boundary = "kestrova-boundary-1234";
    struct Case {
        std::string contentType;
        std::string body;
    } cases[] = {
        {"application/x-www-form-urlencoded", "First=1&Parameter=" + encoded + "&Last=2"},
        {"application/x-www-form-urlencoded", "Parameter=" + encoded + "&"},
        {"multipart/form-data; boundary=" + boundary,
         "--" + boundary + "\r\nContent-Disposition: form-data; name=\"Other\"\r\n\r\nx\r\n--" + boundary +
             "\r\nContent-Disposition: form-data; name=\"Parameter\"\r\n\r\n" +
             itestBase64Encode(releaseCall("FORMBODY_SID")) + "\r\n--" + boundary + "--\r\n"},
    };
    for (const auto& c : cases) {
        ITestCall request = call();
        request.origin = "https://host.example";
        request.contentType = c.contentType;
        request.body = c.body;
        ITestReply reply = itestRequest(request);
        ASSERT_TRUE(reply.transportOk()) << c.contentType << ": " << reply.curlError;
        EXPECT_EQ(reply.status, 200) << c.body;
        EXPECT_EQ(reply.header("Access-Control-Allow-Origin").value_or(""), "https://host.example");
    }
}

TEST_F(HttpsPolicy, LongSingleFieldBodyIsReadWholeBeforeDecoding)
{
    // One field, no final "&", far longer than the post-processor's buffer,
    // so it arrives in many pieces and its end only with the processor's end.
    // The key that makes the call valid comes last, after the padding.
    // Three lengths in a row give the three Base64 endings ("", "=", "==",
    // the last two percent-encoded at the very end of the body).
    for (size_t padding : {size_t(10), size_t(11), size_t(12), size_t(8190), size_t(8191), size_t(8192),
                           size_t(100000), size_t(100001), size_t(100002), size_t(700000)}) {
        std::string json = "{\"Padding\":\"" + std::string(padding, 'x') +
                           "\",\"FunctionName\":\"KestrovaRelease\",\"SessionId\":\"LONGBODY_SID\"}";
        ITestCall request = call();
        request.origin = "https://host.example";
        ITestReply reply = itestPostCall(json, request);
        ASSERT_TRUE(reply.transportOk()) << padding << ": " << reply.curlError;
        EXPECT_EQ(reply.status, 200) << padding;
        EXPECT_EQ(reply.header("Access-Control-Allow-Origin").value_or(""), "https://host.example");
        EXPECT_TRUE(itestDecodeAnswer(reply.body)) << reply.body;
    }
}

TEST_F(HttpsPolicy, OversizedBodyIsRefusedWithoutAnswer)
{
    // Announced too large: refused before anything is read.
    {
        ITestCall request = call();
        request.origin = "https://host.example";
        request.body = itestEncodeParameter(releaseCall("BIGBODY0_SID"));
        request.headers = {"Content-Length: 60000000"};
        request.timeoutSeconds = 60;
        ITestReply reply = itestRequest(request);
        EXPECT_NE(reply.curlCode, CURLE_OK);
        EXPECT_EQ(reply.status, 0);
    }
    // Streamed past the cap of 16 MiB of "Parameter" text.
    {
        ITestCall request = call();
        request.origin = "https://host.example";
        request.body = "Parameter=" + std::string(16u * 1024u * 1024u + 1024u, 'A');
        ITestReply reply = itestRequest(request);
        EXPECT_NE(reply.curlCode, CURLE_OK);
        EXPECT_EQ(reply.status, 0);
    }
    // Chunked, so nothing is announced: the cap still holds while it streams.
    {
        ITestCall request = call();
        request.origin = "https://host.example";
        request.headers = {"Transfer-Encoding: chunked"};
        request.body = "Parameter=" + std::string(16u * 1024u * 1024u + 1024u, 'A');
        ITestReply reply = itestRequest(request);
        EXPECT_NE(reply.curlCode, CURLE_OK);
        EXPECT_EQ(reply.status, 0);
    }
    EXPECT_GE(count("[Warning] Request body too large: "), 3);
    // The service serves on.
    ITestCall request = call();
    request.origin = "https://host.example";
    ITestReply reply = itestPostCall(releaseCall("AFTERBIG_SID"), request);
    ASSERT_TRUE(reply.transportOk()) << reply.curlError;
    EXPECT_EQ(reply.status, 200);
}

// ---------------------------------------------------------------------------
// Concurrency
// ---------------------------------------------------------------------------

TEST_F(HttpsPolicy, ConcurrentClientsOnSeveralListenersGetTheirOwnAnswers)
{
    constexpr int kClients = 12;
    constexpr int kCallsEach = 8;
    std::atomic<int> failures{0};
    std::vector<std::string> messages(kClients);
    std::vector<std::thread> clients;
    for (int client = 0; client < kClients; ++client) {
        clients.emplace_back([&, client] {
            for (int n = 0; n < kCallsEach; ++n) {
                ITestCall request = call(client % 3);
                request.ipv6 = (client / 3) % 2 == 1;
                // Every request is told apart by its origin and, for a third
                // of them, by a Host that gets the early 61904 answer.
                std::string origin = "https://c" + std::to_string(client) + "-" + std::to_string(n) + ".example";
                request.origin = origin;
                bool badHost = (client + n) % 3 == 0;
                if (badHost)
                    request.host = "[::1]:" + std::to_string(request.port);
                // Bodies of different lengths, so mixed pieces would not parse.
                std::string json = "{\"Padding\":\"" + std::string(static_cast<size_t>(client * 3000 + n), 'p') +
                                   "\",\"FunctionName\":\"KestrovaRelease\",\"SessionId\":\"C" +
                                   std::to_string(client) + "N" + std::to_string(n) + "XXXX_SID\"}";
                ITestReply reply = itestPostCall(json, request);
                std::string expectOrigin = badHost ? "" : origin;
                std::string gotOrigin = reply.header("Access-Control-Allow-Origin").value_or("");
                bool ok = reply.transportOk() && reply.status == 200 && gotOrigin == expectOrigin &&
                          itestDecodeAnswer(reply.body).has_value() &&
                          (!badHost || reply.body == "{\"result\": \"NjE5MDQ=\"}");
                if (!ok) {
                    ++failures;
                    messages[client] += origin + ": curl " + std::to_string(reply.curlCode) + " status " +
                                        std::to_string(reply.status) + " origin '" + gotOrigin + "' body " +
                                        reply.body + "\n";
                }
            }
        });
    }
    for (auto& t : clients)
        t.join();
    std::string all;
    for (const auto& m : messages)
        all += m;
    EXPECT_EQ(failures.load(), 0) << all;
}

TEST_F(HttpsPolicy, ConcurrentPagesEachKeepTheirOwnSession)
{
    // The whole road of a call: every page opens a session with the echo
    // (a private adapter copy), then calls it again and again with its own
    // session identifier while the others do the same on other listeners.
    std::string bin = itestBinDir();
    if (access((bin + "/ARDEQ/GpkiCardAdapter.so").c_str(), F_OK) != 0 ||
        access((bin + "/com").c_str(), F_OK) != 0)
        GTEST_SKIP() << "adapter or component not built";
    constexpr int kPages = 8;
    constexpr int kCallsEach = 5;
    const std::string open = "{\"FunctionName\":\"KestrovaEcho\",\"PathID\":\"5D21A7C94E3B4F08A6C2917E0B4D3F65\","
                             "\"minServerVersion\":\"1.0.0.0\",\"minLibVersion\":\"1.0.0.0\"}";
    std::vector<std::string> sessions(kPages);
    std::vector<std::string> messages(kPages);
    std::vector<std::thread> pages;
    for (int page = 0; page < kPages; ++page) {
        pages.emplace_back([&, page] {
            ITestCall request = call(page % 3);
            request.ipv6 = page % 2 == 1;
            request.origin = "https://page" + std::to_string(page) + ".example";
            ITestReply reply = itestPostCall(open, request);
            auto answer = itestDecodeAnswer(reply.body);
            if (!reply.transportOk() || !answer || answer->count("SessionID") == 0 ||
                answer->at("result") != "0") {
                messages[page] = "open: curl " + std::to_string(reply.curlCode) + " " + reply.body;
                return;
            }
            sessions[page] = answer->at("SessionID");
            for (int n = 0; n < kCallsEach; ++n) {
                std::string again = "{\"FunctionName\":\"KestrovaEcho\",\"SessionId\":\"" + sessions[page] + "\"}";
                reply = itestPostCall(again, request);
                answer = itestDecodeAnswer(reply.body);
                // A found session answers without a new identifier.
                bool ok = reply.transportOk() && answer && answer->count("SessionID") == 0 &&
                          answer->count("result") && answer->at("result") == "0" &&
                          answer->count("ServerVersion") && answer->at("ServerVersion") == "1.0.22.0804" &&
                          reply.header("Access-Control-Allow-Origin").value_or("") == *request.origin;
                if (!ok)
                    messages[page] += "call " + std::to_string(n) + ": curl " + std::to_string(reply.curlCode) +
                                      " " + reply.body + "\n";
            }
            std::string release = "{\"FunctionName\":\"KestrovaForceRelease\",\"SessionId\":\"" + sessions[page] + "\"}";
            reply = itestPostCall(release, request);
            if (!reply.transportOk() || reply.status != 200)
                messages[page] += "release: curl " + std::to_string(reply.curlCode) + "\n";
        });
    }
    for (auto& t : pages)
        t.join();
    std::string all;
    for (const auto& m : messages)
        all += m;
    EXPECT_EQ(all, "");
    std::set<std::string> distinct(sessions.begin(), sessions.end());
    EXPECT_EQ(distinct.size(), static_cast<size_t>(kPages));
    EXPECT_EQ(count("[Normal] Find the loaded adapter"), kPages * (kCallsEach + 1));
}

TEST_F(HttpsPolicy, OtherLoopbackPeersAreNotAcceptedOnIPv4)
{
    // Any 127.x address reaches a socket bound to 127.0.0.1; only 127.0.0.1
    // itself is let in.
    ITestCall request = call(1);
    request.localAddress = "127.0.0.2";
    request.origin = "https://host.example";
    request.timeoutSeconds = 60;
    ITestReply reply = itestPostCall(releaseCall("PEER0002_SID"), request);
    EXPECT_NE(reply.curlCode, CURLE_OK);
    EXPECT_EQ(reply.status, 0);
    // The refused peer's generic address bytes after the family: two port
    // bytes, four address bytes, eight zeros, each as a signed 8-bit number.
    ASSERT_TRUE(itestWaitForLog(*service_, "[Warning] Illegal connection ip: ", 60));
    std::string log = itestReadLog(*service_);
    size_t at = log.find("[Warning] Illegal connection ip: ");
    std::string text = log.substr(at, log.find('\n', at) - at);
    EXPECT_TRUE(text.ends_with(".127.0.0.2.0.0.0.0.0.0.0.0")) << text;
}
