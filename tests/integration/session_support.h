#pragma once
// Shared pieces of the session and shared value black-box tests: a service
// started isolated with the GPKI component class registered (the test
// component), and calls made as a page makes them.

#include "tests/integration/support/KestrovaITest.h"

#include "common/com/Com.h"
#include "common/com/GpkiComponent.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#ifndef KESTROVA_TEST_COMPONENT_FILE
#define KESTROVA_TEST_COMPONENT_FILE ""
#endif

namespace sessiontest {

namespace fs = std::filesystem;

constexpr const char* kPathId = "5D21A7C94E3B4F08A6C2917E0B4D3F65";
constexpr const char* kGate = R"("minServerVersion":"1.0.22.0804","minLibVersion":"1.6.3.10080")";
constexpr const char* kAdapter = R"("PathID":"5D21A7C94E3B4F08A6C2917E0B4D3F65")";
constexpr const char* kFake = R"("PathID":"0","LibDir":"SessionTest","ComName":"fake")";
constexpr const char* kOrigin = "https://site.example";

using Answer = std::map<std::string, std::string>;

// A running service and the folder that registers the component for it.
struct SessionService {
    std::string registry;
    std::unique_ptr<ITestService> service;

    SessionService() = default;
    SessionService(const SessionService&) = delete;
    SessionService& operator=(const SessionService&) = delete;
    ~SessionService() {
        service.reset();
        if (!registry.empty()) {
            std::error_code error;
            fs::remove_all(fs::path(registry).parent_path(), error);
        }
    }

    pid_t pid() const { return service->pid; }
    const std::string& copyPath() const { return service->copyPath; }
    std::string sessionFolder(int index) const {
        return copyPath() + "/Tempfile/Session_" + std::to_string(index);
    }
};

inline std::string readWhole(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Prepares a service; the caller may touch its folders before launching it.
inline std::unique_ptr<SessionService>
prepareSessionService(std::vector<std::pair<std::string, std::string>> environment = {}) {
    auto session = std::make_unique<SessionService>();
    char pattern[] = "/tmp/ksess_XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        ADD_FAILURE() << "mkdtemp failed";
        return nullptr;
    }
    session->registry = std::string(pattern) + "/com";
    fs::create_directories(session->registry);
    char clsid[40] = {};
    guidToText(CLSID_GpkiComponent, clsid, sizeof clsid);
    std::ofstream(session->registry + "/" + clsid + ".component")
        << KESTROVA_TEST_COMPONENT_FILE << "\n";

    ITestServiceOptions options;
    options.comRegistry = session->registry;
    options.environment = std::move(environment);
    std::string error;
    session->service = itestPrepareService(options, &error);
    if (session->service == nullptr) {
        ADD_FAILURE() << error;
        return nullptr;
    }
    return session;
}

inline bool launchSessionService(SessionService& session) {
    std::string error;
    if (!itestLaunchService(*session.service, &error)) {
        ADD_FAILURE() << error << "\n" << itestReadOutput(*session.service);
        return false;
    }
    return true;
}

inline std::unique_ptr<SessionService>
startSessionService(std::vector<std::pair<std::string, std::string>> environment = {}) {
    auto session = prepareSessionService(std::move(environment));
    if (session == nullptr || !launchSessionService(*session)) {
        return nullptr;
    }
    return session;
}

// Posts one call as a page of origin does; the decoded answer (empty map and
// a test failure when the answer is not a 200 with a flat JSON object).
inline Answer call(const SessionService& session, const std::string& json,
                   const std::string& origin = kOrigin) {
    ITestCall request;
    request.port = session.service->ports.at(0);
    request.origin = origin;
    ITestReply reply = itestPostCall(json, request);
    if (!reply.transportOk() || reply.status != 200) {
        ADD_FAILURE() << "call " << json << ": curl " << reply.curlCode << " " << reply.curlError
                      << " status " << reply.status;
        return {};
    }
    auto answer = itestDecodeAnswer(reply.body);
    if (!answer) {
        ADD_FAILURE() << "answer is not a flat object: " << reply.body;
        return {};
    }
    return *answer;
}

inline std::string field(const Answer& answer, const std::string& key) {
    auto it = answer.find(key);
    return it != answer.end() ? it->second : "<absent>";
}

// Opens a session with an echo; its identifier ("" on failure).
inline std::string openSession(const SessionService& session, const std::string& adapter = kAdapter,
                               const std::string& extra = "", const std::string& origin = kOrigin) {
    Answer answer =
        call(session, "{\"FunctionName\":\"KestrovaEcho\"," + adapter + "," + kGate + extra + "}",
             origin);
    EXPECT_EQ(field(answer, "result"), "0") << itestReadLog(*session.service);
    return answer.count("SessionID") != 0 ? answer.at("SessionID") : "";
}

inline Answer callSession(const SessionService& session, const std::string& id,
                          const std::string& function, const std::string& extra = "",
                          const std::string& origin = kOrigin) {
    return call(session,
                "{\"FunctionName\":\"" + function + "\",\"SessionId\":\"" + id + "\"" + extra + "}",
                origin);
}

// Files of the process's memory map (what the loader holds mapped).
inline std::string processMaps(pid_t pid) {
    return readWhole("/proc/" + std::to_string(pid) + "/maps");
}

inline bool isMapped(pid_t pid, const std::string& file) {
    return processMaps(pid).find(file) != std::string::npos;
}

// Resident memory in KiB (VmRSS) and the number of open descriptors.
inline long residentKiB(pid_t pid) {
    std::istringstream status(readWhole("/proc/" + std::to_string(pid) + "/status"));
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::stol(line.substr(6));
        }
    }
    return -1;
}

// Open descriptors other than sockets: the listeners are fixed, and a client
// connection may still be closing on the service's side when this looks.
inline long openDescriptors(pid_t pid) {
    long count = 0;
    std::error_code error;
    for (auto it = fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error);
         !error && it != fs::directory_iterator(); it.increment(error)) {
        std::error_code linkError;
        if (fs::read_symlink(it->path(), linkError).string().rfind("socket:", 0) != 0) {
            ++count;
        }
    }
    return count;
}

// What each open descriptor refers to, one per line (for failure messages).
inline std::string describeDescriptors(pid_t pid) {
    std::string text;
    std::error_code error;
    for (auto it = fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error);
         !error && it != fs::directory_iterator(); it.increment(error)) {
        std::error_code linkError;
        text += it->path().filename().string() + " -> " +
                fs::read_symlink(it->path(), linkError).string() + "\n";
    }
    return text;
}

} // namespace sessiontest

#define SESSION_REQUIRE_SERVICE()                                                                  \
    do {                                                                                           \
        ITEST_REQUIRE_TLS_ROOTS();                                                                 \
        if (std::string(KESTROVA_TEST_COMPONENT_FILE).empty())                                     \
            GTEST_SKIP() << "test component not built";                                            \
    } while (0)
