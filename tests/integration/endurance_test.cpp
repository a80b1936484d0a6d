// Endurance of the running service: thousands of calls over keep-alive and
// new connections, thousands of sessions opened and released, and bad input
// mixed in with good calls. The service runs as installed (no ini: logging
// off) with the real adapter and the test GPKI component. Memory and
// descriptors are compared between the end of a warm-up and the end of the
// run; nothing here is timed.

#include "tests/integration/support/KestrovaITest.h"

#include "common/com/Com.h"
#include "common/com/GpkiComponent.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#ifndef KESTROVA_TEST_COMPONENT_FILE
#define KESTROVA_TEST_COMPONENT_FILE ""
#endif

#ifdef __SANITIZE_ADDRESS__
// This client frees a great deal (TLS state of thousands of connections): a
// full-size quarantine makes its own allocator, not the service, the slowest
// part of the run.
extern "C" const char* __asan_default_options()
{
    return "quarantine_size_mb=16";
}
#endif

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr const char* kPathId = "5D21A7C94E3B4F08A6C2917E0B4D3F65";
constexpr const char* kOrigin = "https://endurance.example";
constexpr const char* kServerVersion = "1.0.22.0804";

// Growth of resident memory allowed between the end of the warm-up and the
// end of a run. Ten thousand requests that each keep a hundred bytes (with
// the sanitizer's red zones) go past it.
constexpr long kRssToleranceKiB = 1024;

// ---------------------------------------------------------------------------
// The service and what /proc says about it
// ---------------------------------------------------------------------------

std::string readWhole(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

long residentKiB(pid_t pid)
{
    std::istringstream status(readWhole("/proc/" + std::to_string(pid) + "/status"));
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0)
            return std::atol(line.c_str() + 6);
    }
    return -1;
}

std::vector<std::string> descriptorTargets(pid_t pid)
{
    std::vector<std::string> targets;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error)) {
        std::error_code linkError;
        const std::string target = fs::read_symlink(entry.path(), linkError).string();
        // A descriptor that closed while the folder was read, or a file of
        // /proc the service reads now and then (port probes), is no leak.
        if (!target.empty() && target.rfind("/proc/", 0) != 0)
            targets.push_back(target);
    }
    std::sort(targets.begin(), targets.end());
    return targets;
}

std::string joinLines(const std::vector<std::string>& lines)
{
    std::string text;
    for (const auto& line : lines)
        text += "  " + line + "\n";
    return text;
}

// Resident KiB per mapping name (anonymous mappings as "[anon]"), so that a
// failure says where the memory went.
std::map<std::string, long> residentByMapping(pid_t pid)
{
    std::map<std::string, long> sizes;
    std::istringstream smaps(readWhole("/proc/" + std::to_string(pid) + "/smaps"));
    std::string name = "[anon]";
    for (std::string line; std::getline(smaps, line);) {
        std::istringstream fields(line);
        std::string first;
        fields >> first;
        if (first == "Rss:") {
            long kib = 0;
            fields >> kib;
            sizes[name] += kib;
        } else if (first.find('-') != std::string::npos &&
                   first.find_first_not_of("0123456789abcdef-") == std::string::npos) {
            // "start-end perms offset dev inode [name]"
            std::string part;
            for (int i = 0; i < 4 && fields >> part; ++i) {
            }
            std::string rest;
            std::getline(fields, rest);
            rest.erase(0, std::min(rest.size(), rest.find_first_not_of(' ')));
            name = rest;
            if (name.empty()) {
                // Anonymous memory of a sanitized process: the shadow, the
                // sanitizer's heap, or the rest.
                const unsigned long long address = std::stoull(first.substr(0, first.find('-')), nullptr, 16);
                name = address >= 0x7fff8000ull && address < 0x10007fff8000ull ? "[anon: shadow]"
                       : address >= 0x600000000000ull && address < 0x640000000000ull ? "[anon: heap]"
                                                                                     : "[anon]";
            }
        }
    }
    return sizes;
}

struct Snapshot {
    long rssKiB = 0;
    std::vector<std::string> descriptors;
    std::map<std::string, long> mappings;
    long fds() const { return static_cast<long>(descriptors.size()); }
};

// The mappings that grew most between two snapshots.
std::string growthText(const Snapshot& before, const Snapshot& after)
{
    std::vector<std::pair<long, std::string>> growth;
    for (const auto& [name, kib] : after.mappings) {
        auto it = before.mappings.find(name);
        const long was = it == before.mappings.end() ? 0 : it->second;
        if (kib - was > 0)
            growth.emplace_back(kib - was, name);
    }
    std::sort(growth.rbegin(), growth.rend());
    std::string text = "resident growth by mapping (KiB):\n";
    for (size_t i = 0; i < growth.size() && i < 8; ++i)
        text += "  +" + std::to_string(growth[i].first) + " " + growth[i].second + "\n";
    return text;
}

// Closed connections leave the service's descriptor table once its polling
// thread has seen the close: wait (bounded) until no socket more than
// `sockets` is open before reading the figures.
Snapshot settleAndSnapshot(pid_t pid, long sockets)
{
    auto countSockets = [](const std::vector<std::string>& targets) {
        return static_cast<long>(std::count_if(targets.begin(), targets.end(), [](const std::string& t) {
            return t.rfind("socket:", 0) == 0;
        }));
    };
    auto start = Clock::now();
    std::vector<std::string> targets = descriptorTargets(pid);
    while (countSockets(targets) > sockets && Clock::now() - start < std::chrono::seconds(10)) {
        usleep(50 * 1000);
        targets = descriptorTargets(pid);
    }
    Snapshot snapshot;
    snapshot.rssKiB = residentKiB(pid);
    snapshot.descriptors = std::move(targets);
    snapshot.mappings = residentByMapping(pid);
    return snapshot;
}

long socketCount(const Snapshot& snapshot)
{
    return static_cast<long>(std::count_if(snapshot.descriptors.begin(), snapshot.descriptors.end(),
                                           [](const std::string& t) { return t.rfind("socket:", 0) == 0; }));
}

bool portAccepts(int port, bool ipv6)
{
    int fd = socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    bool ok;
    if (ipv6) {
        sockaddr_in6 address{};
        address.sin6_family = AF_INET6;
        address.sin6_port = htons(static_cast<uint16_t>(port));
        address.sin6_addr = in6addr_loopback;
        ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    } else {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    close(fd);
    return ok;
}

// Every listener of the service is up (all ports, both addresses).
bool allListenersAccept(const ITestService& service)
{
    for (int port : service.ports) {
        if (!portAccepts(port, false) || !portAccepts(port, true))
            return false;
    }
    return true;
}

// The service with the test component registered, logging off. The
// sanitizer's quarantine is kept small so that resident memory shows what the
// service keeps, not what the sanitizer holds back.
struct EnduranceService {
    std::string root;
    std::unique_ptr<ITestService> service;

    EnduranceService() = default;
    EnduranceService(const EnduranceService&) = delete;
    EnduranceService& operator=(const EnduranceService&) = delete;
    ~EnduranceService()
    {
        service.reset();
        if (!root.empty()) {
            std::error_code error;
            fs::remove_all(root, error);
        }
    }
    pid_t pid() const { return service->pid; }
    int port() const { return service->ports[0]; }
};

std::unique_ptr<EnduranceService> startEnduranceService(const std::string& moreAsanOptions = "")
{
    auto endurance = std::make_unique<EnduranceService>();
    char pattern[] = "/tmp/kendure_XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        ADD_FAILURE() << "mkdtemp failed";
        return nullptr;
    }
    endurance->root = pattern;
    const std::string registry = endurance->root + "/com";
    fs::create_directories(registry);
    char clsid[40] = {};
    guidToText(CLSID_GpkiComponent, clsid, sizeof clsid);
    std::ofstream(registry + "/" + clsid + ".component") << KESTROVA_TEST_COMPONENT_FILE << "\n";

    ITestServiceOptions options;
    options.logLevel = -1;
    options.comRegistry = registry;
    options.waitUntilServing = false; // no log to wait for
    const char* asan = getenv("ASAN_OPTIONS");
    std::string asanOptions = asan != nullptr && asan[0] != '\0' ? std::string(asan) + ":" : std::string();
    asanOptions += "quarantine_size_mb=1:detect_leaks=1" + moreAsanOptions;
    options.environment = {{"KESTROVA_TEST_COMPONENT_ECHO", "1"}, {"ASAN_OPTIONS", asanOptions}};
    std::string error;
    endurance->service = itestStartService(options, &error);
    if (endurance->service == nullptr) {
        ADD_FAILURE() << error;
        return nullptr;
    }
    auto start = Clock::now();
    while (!allListenersAccept(*endurance->service)) {
        if (!itestIsRunning(*endurance->service) || Clock::now() - start > std::chrono::seconds(180)) {
            ADD_FAILURE() << "the service does not listen\n" << itestReadOutput(*endurance->service);
            return nullptr;
        }
        usleep(20 * 1000);
    }
    return endurance;
}

// Stops the service and looks at what the leak checker of a sanitized build
// reported at its end. A leak per request or per session shows as a record
// with at least `perRunAllocations` allocations; smaller records (one-off
// start-up objects) are only printed.
void expectNoLeakPerCall(EnduranceService& endurance, long perRunAllocations)
{
    EXPECT_EQ(itestStopService(*endurance.service), 0);
    const std::string output = itestReadOutput(*endurance.service);
    if (output.find("LeakSanitizer") == std::string::npos)
        return;
    std::cout << "[ leaks    ] " << output.substr(output.find("LeakSanitizer"), 4000) << std::endl;
    static const std::regex record(R"((\d+) byte\(s\) leaked in (\d+) allocation\(s\))");
    for (auto it = std::sregex_iterator(output.begin(), output.end(), record); it != std::sregex_iterator();
         ++it) {
        const long allocations = std::stol((*it)[2].str());
        EXPECT_LT(allocations, perRunAllocations) << "leaked per call: " << it->str();
    }
}

// ---------------------------------------------------------------------------
// Calls
// ---------------------------------------------------------------------------

size_t collectAnswer(char* data, size_t size, size_t count, void* closure)
{
    static_cast<std::string*>(closure)->append(data, size * count);
    return size * count;
}

// What a read callback hands to libcurl: the body, in pieces of `piece`
// bytes, a pause before each piece, and an abort after `abortAfter` bytes.
struct Upload {
    std::string body;
    size_t sent = 0;
    size_t piece = 0;       // 0: as much as libcurl asks for
    int pauseMs = 0;
    size_t abortAfter = SIZE_MAX;
    size_t repeatTo = 0;    // > body.size(): the body's last byte repeated up to this length
};

size_t readUpload(char* buffer, size_t size, size_t count, void* closure)
{
    auto* upload = static_cast<Upload*>(closure);
    const size_t total = std::max(upload->body.size(), upload->repeatTo);
    if (upload->sent >= upload->abortAfter)
        return CURL_READFUNC_ABORT;
    size_t n = std::min(size * count, total - upload->sent);
    if (upload->piece != 0)
        n = std::min(n, upload->piece);
    n = std::min(n, upload->abortAfter - upload->sent);
    if (n > 0 && upload->pauseMs > 0)
        usleep(static_cast<useconds_t>(upload->pauseMs) * 1000);
    for (size_t i = 0; i < n; ++i) {
        const size_t at = upload->sent + i;
        buffer[i] = at < upload->body.size() ? upload->body[at] : upload->body.back();
    }
    upload->sent += n;
    return n;
}

// One libcurl handle: keep-alive (the connection is reused) or a new
// connection, with a full TLS handshake, for every call.
class Client {
public:
    Client(int port, bool freshConnections)
    {
        curl_ = curl_easy_init();
        url_ = "https://localhost:" + std::to_string(port) + "/";
        headers_ = curl_slist_append(headers_, (std::string("Origin: ") + kOrigin).c_str());
        headers_ = curl_slist_append(headers_, "Connection: keep-alive");
        headers_ = curl_slist_append(headers_, "Expect:");
        headers_ = curl_slist_append(headers_, "Content-Type: application/x-www-form-urlencoded");
        curl_easy_setopt(curl_, CURLOPT_IPRESOLVE, CURL_IPRESOLVE_V4);
        curl_easy_setopt(curl_, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(curl_, CURLOPT_TCP_NODELAY, 1L);
        curl_easy_setopt(curl_, CURLOPT_CAINFO, itestRootBundle().c_str());
        // Only the built roots: without this libcurl also reads the whole
        // system folder of certificates for every new connection, which costs
        // the client far more than the handshake costs the service.
        curl_easy_setopt(curl_, CURLOPT_CAPATH, nullptr);
        if (freshConnections) {
            curl_easy_setopt(curl_, CURLOPT_FORBID_REUSE, 1L);
            curl_easy_setopt(curl_, CURLOPT_FRESH_CONNECT, 1L);
            curl_easy_setopt(curl_, CURLOPT_SSL_SESSIONID_CACHE, 0L);
        }
    }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;
    ~Client()
    {
        curl_easy_cleanup(curl_);
        curl_slist_free_all(headers_);
    }

    // Posts a form body in one go. The CURLcode; status and answer filled.
    CURLcode post(const std::string& form, long* status, std::string* answer)
    {
        prepare(answer);
        curl_easy_setopt(curl_, CURLOPT_POSTFIELDS, form.c_str());
        curl_easy_setopt(curl_, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(form.size()));
        return perform(status);
    }

    // Posts through the read callback. announced < 0: chunked, no length.
    CURLcode upload(Upload& upload, curl_off_t announced, long* status, std::string* answer)
    {
        prepare(answer);
        curl_easy_setopt(curl_, CURLOPT_POST, 1L);
        curl_easy_setopt(curl_, CURLOPT_READFUNCTION, readUpload);
        curl_easy_setopt(curl_, CURLOPT_READDATA, &upload);
        // Unknown size: libcurl sends it chunked over HTTP/1.1.
        curl_easy_setopt(curl_, CURLOPT_POSTFIELDSIZE_LARGE, announced);
        return perform(status);
    }

private:

    void prepare(std::string* answer)
    {
        curl_easy_setopt(curl_, CURLOPT_URL, url_.c_str());
        curl_easy_setopt(curl_, CURLOPT_HTTPHEADER, headers_);
        curl_easy_setopt(curl_, CURLOPT_WRITEFUNCTION, collectAnswer);
        curl_easy_setopt(curl_, CURLOPT_WRITEDATA, answer);
        curl_easy_setopt(curl_, CURLOPT_TIMEOUT, 120L);
        curl_easy_setopt(curl_, CURLOPT_POSTFIELDS, nullptr);
        curl_easy_setopt(curl_, CURLOPT_READFUNCTION, nullptr);
        curl_easy_setopt(curl_, CURLOPT_READDATA, nullptr);
        answer->clear();
    }

    CURLcode perform(long* status)
    {
        *status = 0;
        CURLcode code = curl_easy_perform(curl_);
        curl_easy_getinfo(curl_, CURLINFO_RESPONSE_CODE, status);
        return code;
    }

    CURL* curl_ = nullptr;
    curl_slist* headers_ = nullptr;
    std::string url_;
};

using Answer = std::map<std::string, std::string>;

std::string field(const Answer& answer, const std::string& key)
{
    auto it = answer.find(key);
    return it == answer.end() ? std::string("<absent>") : it->second;
}

// Posts a call; the decoded answer, or nothing (with why) on any failure.
std::optional<Answer> callJson(Client& client, const std::string& json, std::string* why)
{
    long status = 0;
    std::string body;
    CURLcode code = client.post(itestEncodeParameter(json), &status, &body);
    if (code != CURLE_OK || status != 200) {
        *why = "curl " + std::to_string(code) + " (" + curl_easy_strerror(code) + "), status " +
               std::to_string(status);
        return std::nullopt;
    }
    auto answer = itestDecodeAnswer(body);
    if (!answer)
        *why = "not an answer: " + body;
    return answer;
}

std::string openJson()
{
    return std::string(R"({"FunctionName":"KestrovaEcho","PathID":")") + kPathId +
           R"(","minServerVersion":")" + kServerVersion + R"(","minLibVersion":"1.0.0.0"})";
}

// Opens a session on the real adapter; its identifier, or "" (with why).
std::string openSession(Client& client, std::string* why)
{
    auto answer = callJson(client, openJson(), why);
    if (!answer)
        return "";
    if (field(*answer, "result") != "0" || field(*answer, "SessionID").size() != 12) {
        *why = "open answered result " + field(*answer, "result") + ", SessionID " + field(*answer, "SessionID");
        return "";
    }
    return answer->at("SessionID");
}

std::string echoJson(const std::string& id)
{
    return R"({"FunctionName":"KestrovaEcho","SessionId":")" + id + "\"}";
}

// A component call whose answer names its own data: the test component in
// echo mode answers "GPKI_Base64Encode(<srcData>|65001)", so an answer that
// reached the wrong request shows.
std::string markedJson(const std::string& id, const std::string& mark)
{
    return R"({"FunctionName":"GPKI_Base64Encode","SessionId":")" + id + R"(","srcData":")" + mark +
           R"(","codePage":"65001"})";
}

std::string markedResult(const std::string& mark)
{
    return "GPKI_Base64Encode(" + mark + "|65001)";
}

// Failures seen by the threads of a run: counted, the first few kept.
struct Failures {
    std::atomic<int> count{0};
    std::mutex lock;
    std::vector<std::string> first;

    void add(const std::string& what)
    {
        ++count;
        std::lock_guard<std::mutex> guard(lock);
        if (first.size() < 5)
            first.push_back(what);
    }
    std::string text()
    {
        std::lock_guard<std::mutex> guard(lock);
        return joinLines(first);
    }
};

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

void report(const char* run, long calls, double seconds, const Snapshot& before, const Snapshot& after)
{
    std::cout << "[ figures  ] " << run << ": " << calls << " calls in " << seconds << " s; resident "
              << before.rssKiB << " -> " << after.rssKiB << " KiB; descriptors " << before.fds() << " -> "
              << after.fds() << std::endl;
    ::testing::Test::RecordProperty(std::string(run) + "_calls", std::to_string(calls));
    ::testing::Test::RecordProperty(std::string(run) + "_rss_kib",
                                    std::to_string(before.rssKiB) + " -> " + std::to_string(after.rssKiB));
    ::testing::Test::RecordProperty(std::string(run) + "_fds",
                                    std::to_string(before.fds()) + " -> " + std::to_string(after.fds()));
}

#define ENDURANCE_REQUIRE_SERVICE()                                                          \
    do {                                                                                     \
        ITEST_REQUIRE_TLS_ROOTS();                                                           \
        if (std::string(KESTROVA_TEST_COMPONENT_FILE).empty())                               \
            GTEST_SKIP() << "the test component is not built";                               \
    } while (0)

} // namespace

// ---------------------------------------------------------------------------

// Ten thousand echoes on one open session from four threads: two keep their
// connection alive, two make a new connection (full handshake) per call.
TEST(Endurance, TenThousandEchoesLeaveMemoryAndDescriptorsFlat)
{
    ENDURANCE_REQUIRE_SERVICE();
    auto endurance = startEnduranceService();
    ASSERT_NE(endurance, nullptr);
    std::string why;
    std::string id;
    {
        Client client(endurance->port(), false);
        id = openSession(client, &why);
    }
    ASSERT_FALSE(id.empty()) << why;
    const std::string echo = echoJson(id);

    Failures failures;
    auto run = [&](int keepAliveCalls, int freshCalls) {
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) {
            const bool fresh = t >= 2;
            threads.emplace_back([&, fresh] {
                Client client(endurance->port(), fresh);
                const int calls = fresh ? freshCalls : keepAliveCalls;
                for (int i = 0; i < calls; ++i) {
                    std::string problem;
                    auto answer = callJson(client, echo, &problem);
                    if (!answer) {
                        failures.add(problem);
                    } else if (field(*answer, "result") != "0" ||
                               field(*answer, "ServerVersion") != kServerVersion ||
                               field(*answer, "LibVersion").empty()) {
                        failures.add("echo answered result " + field(*answer, "result"));
                    }
                }
            });
        }
        for (auto& thread : threads)
            thread.join();
    };

    run(300, 100); // warm-up: allocator pools, connection pools, TLS state
    ASSERT_EQ(failures.count.load(), 0) << failures.text();
    const Snapshot before = settleAndSnapshot(endurance->pid(), 3);
    auto start = Clock::now();
    run(3500, 1500); // 10,000 calls
    const double seconds = secondsSince(start);
    const Snapshot after = settleAndSnapshot(endurance->pid(), socketCount(before));
    report("echo", 10000, seconds, before, after);

    EXPECT_EQ(failures.count.load(), 0) << failures.text();
    EXPECT_LE(after.fds(), before.fds()) << "before:\n"
                                         << joinLines(before.descriptors) << "after:\n"
                                         << joinLines(after.descriptors);
    EXPECT_LT(after.rssKiB - before.rssKiB, kRssToleranceKiB) << growthText(before, after);
    expectNoLeakPerCall(*endurance, 1000);
}

// Two thousand sessions opened on the real adapter (a private copy loaded
// each time) and force-released, from two threads.
TEST(Endurance, TwoThousandSessionsLeaveMemoryDescriptorsAndFilesFlat)
{
    ENDURANCE_REQUIRE_SERVICE();
    auto endurance = startEnduranceService();
    ASSERT_NE(endurance, nullptr);

    Failures failures;
    auto run = [&](int perThread) {
        std::vector<std::thread> threads;
        for (int t = 0; t < 2; ++t) {
            threads.emplace_back([&] {
                Client client(endurance->port(), false);
                for (int i = 0; i < perThread; ++i) {
                    std::string problem;
                    const std::string id = openSession(client, &problem);
                    if (id.empty()) {
                        failures.add(problem);
                        continue;
                    }
                    auto released = callJson(
                        client, R"({"FunctionName":"KestrovaForceRelease","SessionId":")" + id + "\"}", &problem);
                    if (!released)
                        failures.add("release: " + problem);
                    else if (!released->empty())
                        failures.add("release answered " + std::to_string(released->size()) + " keys");
                }
            });
        }
        for (auto& thread : threads)
            thread.join();
    };

    run(50); // warm-up
    ASSERT_EQ(failures.count.load(), 0) << failures.text();
    const Snapshot before = settleAndSnapshot(endurance->pid(), 3);
    auto start = Clock::now();
    run(1000);
    const double seconds = secondsSince(start);
    const Snapshot after = settleAndSnapshot(endurance->pid(), socketCount(before));
    report("sessions", 2000, seconds, before, after);

    EXPECT_EQ(failures.count.load(), 0) << failures.text();
    EXPECT_LE(after.fds(), before.fds()) << "before:\n"
                                         << joinLines(before.descriptors) << "after:\n"
                                         << joinLines(after.descriptors);
    // No session copy stays mapped or on disk.
    EXPECT_EQ(readWhole("/proc/" + std::to_string(endurance->pid()) + "/maps").find("/Tempfile/"),
              std::string::npos);
    std::error_code error;
    long leftFiles = 0;
    for (const auto& entry :
         fs::recursive_directory_iterator(endurance->service->copyPath + "/Tempfile", error))
        leftFiles += entry.is_regular_file() ? 1 : 0;
    EXPECT_EQ(leftFiles, 0);
#ifdef __SANITIZE_ADDRESS__
    // A sanitized process keeps bookkeeping for every library it ever loaded
    // (about 160 KiB per load of the sanitized adapter, outside its heap), so
    // here the service's heap is what must stay flat; the total is reported.
    auto heap = [](const Snapshot& snapshot) {
        auto it = snapshot.mappings.find("[anon: heap]");
        return it == snapshot.mappings.end() ? 0L : it->second;
    };
    std::cout << "[ figures  ] sessions: sanitizer heap " << heap(before) << " -> " << heap(after) << " KiB"
              << std::endl;
    EXPECT_LT(heap(after) - heap(before), kRssToleranceKiB) << growthText(before, after);
#else
    EXPECT_LT(after.rssKiB - before.rssKiB, 2 * kRssToleranceKiB) << growthText(before, after);
#endif
    expectNoLeakPerCall(*endurance, 200);
}

// Bad input from two threads while two others make good calls whose answers
// carry their own marks: every good call gets its own answer, the service
// stays up, and the bad connections are all closed at the end.
TEST(Endurance, BadInputNeverCostsAGoodCallItsAnswer)
{
    ENDURANCE_REQUIRE_SERVICE();
    auto endurance = startEnduranceService();
    ASSERT_NE(endurance, nullptr);
    std::string why;
    std::string id;
    {
        Client client(endurance->port(), false);
        id = openSession(client, &why);
    }
    ASSERT_FALSE(id.empty()) << why;
    const Snapshot before = settleAndSnapshot(endurance->pid(), 3);

    std::string manyKeys = "{";
    for (int i = 0; i < 300; ++i)
        manyKeys += "\"k" + std::to_string(i) + "\":\"v\",";
    manyKeys += R"("FunctionName":"KestrovaEcho","SessionId":")" + id + "\"}";
    const std::string goodForm = itestEncodeParameter(echoJson(id));
    const std::string badForms[] = {
        "Parameter=!!!!****",                                                         // not Base64
        "Parameter=" + itestPercentEncode(itestBase64Encode("{\"FunctionName\":\"KestrovaEcho\",\"Sess")), // cut JSON
        "Parameter=" + itestPercentEncode(itestBase64Encode("{}")),                   // no pair at all
        itestEncodeParameter(manyKeys),                                               // 300 keys
        "Other=1",                                                                    // no Parameter
    };

    std::atomic<int> badRunning{2};
    std::atomic<long> goodCalls{0};
    std::atomic<long> badCalls{0};
    Failures failures;

    auto good = [&](int t) {
        Client client(endurance->port(), t == 1);
        for (int i = 0; badRunning.load() > 0 || i < 100; ++i) {
            const std::string mark = "good-" + std::to_string(t) + "-" + std::to_string(i);
            std::string problem;
            auto answer = callJson(client, markedJson(id, mark), &problem);
            ++goodCalls;
            if (!answer)
                failures.add(mark + ": " + problem);
            else if (field(*answer, "result") != markedResult(mark))
                failures.add(mark + " answered " + field(*answer, "result"));
        }
    };

    auto bad = [&](int t) {
        const int rounds = 12;
        for (int round = 0; round < rounds; ++round) {
            long status = 0;
            std::string answer;
            // Answers to bad bodies: the connection is closed without one.
            for (const auto& form : badForms) {
                Client client(endurance->port(), true);
                CURLcode code = client.post(form, &status, &answer);
                ++badCalls;
                if (code == CURLE_OK && status == 200)
                    failures.add("bad body answered: " + form.substr(0, 40) + " -> " + answer);
            }
            {
                // Truncated: half the announced body, then the sender gives up.
                Client client(endurance->port(), true);
                Upload upload;
                upload.body = goodForm;
                upload.abortAfter = goodForm.size() / 2;
                client.upload(upload, static_cast<curl_off_t>(goodForm.size()), &status, &answer);
                ++badCalls;
            }
            {
                // A body announced far beyond the cap is not read at all.
                Client client(endurance->port(), true);
                Upload upload;
                upload.body = "Parameter=A";
                upload.repeatTo = 1u << 20;
                CURLcode code = client.upload(upload, static_cast<curl_off_t>(64) << 20, &status, &answer);
                ++badCalls;
                if (code == CURLE_OK && status == 200)
                    failures.add("oversized announcement answered");
            }
            {
                // A slow sender: its pieces trickle in while the good calls go
                // on, and it still gets its own answer.
                Client client(endurance->port(), false);
                const std::string mark = "slow-" + std::to_string(t) + "-" + std::to_string(round);
                Upload upload;
                upload.body = itestEncodeParameter(markedJson(id, mark));
                upload.piece = 16;
                upload.pauseMs = 20;
                CURLcode code =
                    client.upload(upload, static_cast<curl_off_t>(upload.body.size()), &status, &answer);
                ++goodCalls;
                auto decoded = itestDecodeAnswer(answer);
                if (code != CURLE_OK || status != 200 || !decoded ||
                    field(*decoded, "result") != markedResult(mark))
                    failures.add(mark + ": curl " + std::to_string(code) + ", status " + std::to_string(status) +
                                 ", " + answer);
            }
            if (round % 6 == 0) {
                // A "Parameter" beyond the cap, without a length: refused once
                // the cap is passed.
                Client client(endurance->port(), true);
                Upload upload;
                upload.body = "Parameter=A";
                upload.repeatTo = (16u << 20) + (64u << 10);
                CURLcode code = client.upload(upload, -1, &status, &answer);
                ++badCalls;
                if (code == CURLE_OK && status == 200)
                    failures.add("over-cap Parameter answered");
            }
        }
        --badRunning;
    };

    auto start = Clock::now();
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t)
        threads.emplace_back(good, t);
    for (int t = 0; t < 2; ++t)
        threads.emplace_back(bad, t);
    for (auto& thread : threads)
        thread.join();
    const double seconds = secondsSince(start);

    ASSERT_TRUE(itestIsRunning(*endurance->service)) << itestReadOutput(*endurance->service);
    {
        Client client(endurance->port(), false);
        std::string problem;
        auto answer = callJson(client, markedJson(id, "last"), &problem);
        ASSERT_TRUE(answer.has_value()) << problem;
        EXPECT_EQ(field(*answer, "result"), markedResult("last"));
    }
    const Snapshot after = settleAndSnapshot(endurance->pid(), socketCount(before));
    std::cout << "[ figures  ] bad input: " << badCalls.load() << " bad and " << goodCalls.load()
              << " good calls in " << seconds << " s" << std::endl;
    report("bad_input", badCalls.load() + goodCalls.load(), seconds, before, after);

    EXPECT_EQ(failures.count.load(), 0) << failures.text();
    EXPECT_LE(after.fds(), before.fds()) << "before:\n"
                                         << joinLines(before.descriptors) << "after:\n"
                                         << joinLines(after.descriptors);
    expectNoLeakPerCall(*endurance, 100);
}
