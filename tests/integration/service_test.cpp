// The service program as its keeper and its user meet it: start-up lines,
// listener set, ports taken by others, stop signals, exported symbols.

#include "tests/integration/support/KestrovaITest.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>

namespace {

std::string normal(const std::string& label, const std::string& value)
{
    return "[ARDEQKestrova][Normal] " + label + value;
}

std::string portText(const std::vector<int>& ports)
{
    std::string text;
    for (size_t i = 0; i < ports.size(); ++i)
        text += (i ? " " : "") + std::to_string(ports[i]);
    return text;
}

std::string releaseCall(const std::string& sessionId)
{
    return "{\"FunctionName\":\"KestrovaRelease\",\"SessionId\":\"" + sessionId + "\"}";
}

} // namespace

// ---------------------------------------------------------------------------
// Start-up lines for the keeper's command lines
// ---------------------------------------------------------------------------

struct CommandLineCase {
    const char* commandLine;
    bool crashLines;
};

class ServiceStartup : public ::testing::TestWithParam<CommandLineCase> {};

TEST_P(ServiceStartup, WritesTheStartupLinesAndStopsCleanly)
{
    ITEST_REQUIRE_TLS_ROOTS();
    ITestServiceOptions options;
    options.commandLine = GetParam().commandLine;
    std::string error;
    auto service = itestStartService(options, &error);
    ASSERT_TRUE(service) << error;

    std::string log = itestReadLog(*service);
    EXPECT_NE(log.find("*************************************Kestrova*********************************"),
              std::string::npos);
    EXPECT_NE(log.find(normal("Execute setting: ", "ARDEQ")), std::string::npos);
    EXPECT_TRUE(std::regex_search(
        log, std::regex(R"(\[Normal\] Compile time: [A-Z][a-z]{2} [ 0-9][0-9] [0-9]{4} [0-9]{2}:[0-9]{2}:[0-9]{2}\n)")))
        << log;
    EXPECT_TRUE(std::regex_search(log, std::regex(R"(\[Normal\] Git time: \S)"))) << log;
    EXPECT_NE(log.find(normal("Environment: ", "Linux 64 bit")), std::string::npos) << log;
    EXPECT_NE(log.find(normal("CopyPath: ", service->copyPath + "\n")), std::string::npos) << log;
    EXPECT_NE(log.find(normal("Execute path: ", service->binDir + "\n")), std::string::npos) << log;
    EXPECT_NE(log.find(normal("Support port: ", portText(service->ports) + "\n")), std::string::npos);
    EXPECT_NE(log.find(normal("Kestrova Version: ", "1.0.22.0804")), std::string::npos);
    EXPECT_NE(log.find(normal("", "HTTPS Mode")), std::string::npos);
    for (int port : service->ports) {
        std::string p = std::to_string(port);
        EXPECT_EQ(itestCountLogLines(*service, normal("Detect port " + p + " state: ", "Free")), 2);
        EXPECT_EQ(itestCountLogLines(*service,
                                     normal("ARDEQKestrova at 127.0.0.1:" + p + " launch state: ", "Success")),
                  1);
        EXPECT_EQ(itestCountLogLines(*service,
                                     normal("ARDEQKestrova at [::1]:" + p + " launch state: ", "Success")),
                  1);
    }
    EXPECT_EQ(itestCountLogLines(*service, normal("ARDEQKestrova initialization: ", "Success")), 1);
    // No monitor made the switch event: the service says so and serves on.
    EXPECT_NE(log.find("[Error] Kestrova debugStatusUpdateEvent init failed. "), std::string::npos);

    int crash = itestCountLogLines(*service, "[ARDEQKestrova][Warning] Detected Kestrova crash");
    EXPECT_EQ(crash, GetParam().crashLines ? 1 : 0);
    if (GetParam().crashLines) {
        // separator, warning, separator
        std::string separator(79, '=');
        size_t at = log.find("Detected Kestrova crash");
        ASSERT_NE(at, std::string::npos);
        size_t lineStart = log.rfind('\n', at);
        size_t before = log.rfind('\n', lineStart - 1);
        EXPECT_NE(log.substr(before, lineStart - before).find(separator), std::string::npos);
        size_t lineEnd = log.find('\n', at);
        EXPECT_NE(log.substr(lineEnd, log.find('\n', lineEnd + 1) - lineEnd).find(separator),
                  std::string::npos);
    }

    EXPECT_EQ(itestStopService(*service, SIGTERM), 0);
    EXPECT_EQ(itestCountLogLines(*service, normal("[KestrovaFinal] ", "Release adapters success")), 1);
    EXPECT_EQ(itestCountLogLines(*service, normal("[KestrovaFinal] ", "Ready to suicide")), 1);
}

INSTANTIATE_TEST_SUITE_P(CommandLines, ServiceStartup,
                         ::testing::Values(CommandLineCase{"0", false}, CommandLineCase{"", false},
                                           CommandLineCase{"3", true}),
                         [](const auto& info) {
                             std::string c = info.param.commandLine;
                             return c.empty() ? std::string("Empty") : "Attempt" + c;
                         });

// ---------------------------------------------------------------------------
// Stop signals
// ---------------------------------------------------------------------------

class ServiceStop : public ::testing::TestWithParam<int> {};

TEST_P(ServiceStop, SignalRunsTheFinalFunctionAndEndsWithZero)
{
    ITEST_REQUIRE_TLS_ROOTS();
    std::string error;
    auto service = itestStartService({}, &error);
    ASSERT_TRUE(service) << error;
    EXPECT_EQ(itestStopService(*service, GetParam()), 0) << itestReadOutput(*service);
    EXPECT_EQ(itestCountLogLines(*service, normal("[KestrovaFinal] ", "Ready to suicide")), 1);
}

INSTANTIATE_TEST_SUITE_P(Signals, ServiceStop, ::testing::Values(SIGTERM, SIGINT),
                         [](const auto& info) {
                             return std::string(info.param == SIGTERM ? "SIGTERM" : "SIGINT");
                         });

// ---------------------------------------------------------------------------
// Ports taken by other programs
// ---------------------------------------------------------------------------

TEST(ServicePorts, PortTakenOnIPv4OnlyIsServedOverIPv6Alone)
{
    ITEST_REQUIRE_TLS_ROOTS();
    std::string error;
    auto service = itestPrepareService({}, &error);
    ASSERT_TRUE(service) << error;
    int taken = service->ports[0];
    int blocker = itestOccupyPort(taken, false);
    ASSERT_GE(blocker, 0);
    ASSERT_TRUE(itestLaunchService(*service, &error)) << error;

    std::string p = std::to_string(taken);
    EXPECT_EQ(itestCountLogLines(*service, normal("Detect port " + p + " state: ", "In use, try next port")), 1);
    EXPECT_EQ(itestCountLogLines(*service, "ARDEQKestrova at 127.0.0.1:" + p + " launch state: "), 0);
    EXPECT_EQ(itestCountLogLines(*service, normal("ARDEQKestrova at [::1]:" + p + " launch state: ", "Success")), 1);

    ITestCall call;
    call.port = taken;
    call.ipv6 = true;
    call.origin = "https://host.example";
    ITestReply reply = itestPostCall(releaseCall("AAAAAAAA_SID"), call);
    ASSERT_TRUE(reply.transportOk()) << reply.curlError;
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.header("Access-Control-Allow-Origin").value_or(""), "https://host.example");
    close(blocker);
}

TEST(ServicePorts, AllPortsTakenEndsTheServiceWithZero)
{
    ITEST_REQUIRE_TLS_ROOTS();
    std::string error;
    ITestServiceOptions options;
    options.waitUntilServing = false;
    auto service = itestPrepareService(options, &error);
    ASSERT_TRUE(service) << error;
    std::vector<int> blockers;
    for (int port : service->ports)
        for (bool ipv6 : {false, true}) {
            int fd = itestOccupyPort(port, ipv6);
            ASSERT_GE(fd, 0);
            blockers.push_back(fd);
        }
    ASSERT_TRUE(itestLaunchService(*service, &error)) << error;
    EXPECT_EQ(itestWaitExit(*service, 180), 0) << itestReadOutput(*service);
    EXPECT_EQ(itestCountLogLines(*service, "[ARDEQKestrova][Warning] ARDEQKestrova initialization: Fail"), 1);
    EXPECT_EQ(itestCountLogLines(*service, "In use, try next port"), 6);
    EXPECT_EQ(itestCountLogLines(*service, "launch state: "), 0);
    for (int fd : blockers)
        close(fd);
}

// ---------------------------------------------------------------------------
// Exported symbols
// ---------------------------------------------------------------------------

TEST(ServiceExports, OnlyTheWhiteBoxPairIsExported)
{
    std::string program = itestBinDir() + "/ARDEQKestrova";
    if (access(program.c_str(), X_OK) != 0)
        GTEST_SKIP() << program << " not built";
    ITestCommandResult nm = itestRunCommand({"nm", "-D", "--defined-only", program});
    ASSERT_EQ(nm.exitCode, 0) << nm.output;
    std::set<std::string> exported;
    std::istringstream lines(nm.output);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string address, type, name;
        if (!(fields >> address >> type >> name))
            continue;
        // Linker-made markers, the sanitizer runtime's hooks and the shared
        // libraries' data copied into the program (versioned names) are not ours.
        if (name.find('@') != std::string::npos || name == "_edata" || name == "_end" || name == "__bss_start" || name == "_IO_stdin_used" ||
            name == "_init" || name == "_fini" || name.rfind("__asan", 0) == 0 ||
            name.rfind("__ubsan", 0) == 0 || name.rfind("__sanitizer", 0) == 0 ||
            name.rfind("__lsan", 0) == 0)
            continue;
        exported.insert(name);
    }
    EXPECT_EQ(exported, (std::set<std::string>{"getQXWhiteboxResult", "QXWhiteBoxResultFinal"}))
        << nm.output;
}

// ---------------------------------------------------------------------------
// Log switch
// ---------------------------------------------------------------------------

TEST(ServiceLogSwitch, EachPulseOfTheDebugEventTogglesLogging)
{
    ITEST_REQUIRE_TLS_ROOTS();
    std::string error;
    auto service = itestPrepareService({}, &error);
    ASSERT_TRUE(service) << error;
    // The monitor creates the event; here the test does, before the start.
    std::string events = service->runtimeDir + "/events";
    ASSERT_EQ(mkdir(events.c_str(), 0700), 0);
    std::string event = events + "/ARDEQKestrova_DEBUG_MODE";
    { std::ofstream create(event); }
    ASSERT_TRUE(itestLaunchService(*service, &error)) << error;
    EXPECT_EQ(itestCountLogLines(*service, "debugStatusUpdateEvent init failed"), 0);

    auto pulse = [&] { std::ofstream touch(event); };
    auto callOnce = [&] {
        ITestCall request;
        request.port = service->ports[0];
        request.origin = "https://host.example";
        ITestReply reply = itestPostCall(releaseCall("SWITCH00_SID"), request);
        EXPECT_EQ(reply.status, 200) << reply.curlError;
    };

    callOnce();
    int served = itestCountLogLines(*service, "[Normal] Release Mode");
    EXPECT_EQ(served, 1);

    pulse();
    ASSERT_TRUE(itestWaitForLog(*service, normal("Log state: ", "Disable"), 120)) << itestReadLog(*service);
    // The switch thread writes its line just before it turns logging off, so
    // a call may still slip in between: look for a call that leaves no line.
    bool silent = false;
    for (int i = 0; i < 50 && !silent; ++i) {
        served = itestCountLogLines(*service, "[Normal] Release Mode");
        callOnce();
        silent = itestCountLogLines(*service, "[Normal] Release Mode") == served;
    }
    EXPECT_TRUE(silent);

    pulse();
    auto enabledTwice = [&] { return itestCountLogLines(*service, normal("Log state: ", "Enable")) == 2; };
    for (int i = 0; i < 2400 && !enabledTwice(); ++i)
        usleep(50 * 1000);
    ASSERT_TRUE(enabledTwice()) << itestReadLog(*service);
    callOnce();
    EXPECT_EQ(itestCountLogLines(*service, "[Normal] Release Mode"), served + 1);

    EXPECT_EQ(itestStopService(*service), 0);
}
