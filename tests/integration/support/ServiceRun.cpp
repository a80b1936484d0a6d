// Starting the real service isolated: its own folders, ports and log.

#include "tests/integration/support/KestrovaITest.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

extern char** environ;

namespace fs = std::filesystem;

#ifndef KESTROVA_ITEST_BIN_DIR
#define KESTROVA_ITEST_BIN_DIR ""
#endif

namespace {

void setError(std::string* outError, const std::string& text)
{
    if (outError)
        *outError = text;
}

std::string baseTempFolder()
{
    // "Log File" is read into 128 bytes: keep the paths short.
    const char* tmp = getenv("TMPDIR");
    std::string base = (tmp && *tmp) ? tmp : "/tmp";
    if (base.size() > 48)
        base = "/tmp";
    while (base.size() > 1 && base.back() == '/')
        base.pop_back();
    return base;
}

bool makeFolder(const std::string& path, mode_t mode)
{
    std::error_code ec;
    fs::create_directories(path, ec);
    if (ec)
        return false;
    return chmod(path.c_str(), mode) == 0;
}

std::vector<std::string> splitAtBlanks(const std::string& text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string word;
    while (in >> word)
        out.push_back(word);
    return out;
}

// Reaps the child without blocking; true when it has ended.
bool reap(ITestService& service, bool block)
{
    if (service.exited || service.pid <= 0)
        return true;
    int status = 0;
    pid_t r;
    do {
        r = waitpid(service.pid, &status, block ? 0 : WNOHANG);
    } while (r < 0 && errno == EINTR);
    if (r == service.pid) {
        service.exited = true;
        if (WIFEXITED(status))
            service.exitCode = WEXITSTATUS(status);
        else if (WIFSIGNALED(status))
            service.exitCode = 128 + WTERMSIG(status);
        return true;
    }
    if (r < 0) { // not our child any more
        service.exited = true;
        return true;
    }
    return false;
}

// Binds the socket to the port on the IPv4 or IPv6 loopback (IPv6 only, so
// the two families are probed apart). The result of bind().
int bindLoopback(int fd, int port, bool ipv6)
{
    if (ipv6) {
        int one = 1;
        setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
        sockaddr_in6 a{};
        a.sin6_family = AF_INET6;
        a.sin6_port = htons(static_cast<uint16_t>(port));
        a.sin6_addr = in6addr_loopback;
        return bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    }
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
}

bool portBindable(int port, bool ipv6)
{
    int fd = socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    int rc = bindLoopback(fd, port, ipv6);
    close(fd);
    return rc == 0;
}

// True when /proc/net/tcp{,6} lists the port locally in any state: a port
// still in TIME_WAIT from an earlier test is better avoided.
bool portMentioned(int port)
{
    char hex[8];
    snprintf(hex, sizeof hex, ":%04X", port);
    for (const char* file : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        std::ifstream in(file);
        std::string line;
        while (std::getline(in, line)) {
            std::istringstream fields(line);
            std::string sl, local;
            fields >> sl >> local;
            if (local.size() > 5 && local.compare(local.size() - 5, 5, hex) == 0)
                return true;
        }
    }
    return false;
}

} // namespace

// ---------------------------------------------------------------------------

std::string itestBinDir()
{
    const char* env = getenv("KESTROVA_ITEST_BIN_DIR");
    if (env && *env)
        return env;
    return KESTROVA_ITEST_BIN_DIR;
}

std::vector<int> itestFreePorts(int count, std::vector<int>* outLockFds)
{
    std::vector<int> ports;
    std::random_device seed;
    std::mt19937 random(seed() ^ static_cast<unsigned>(getpid()));
    // Below the kernel's client range (32768 and up by default), so that no
    // outgoing connection of a parallel test lands on our port.
    std::uniform_int_distribution<int> pick(20000, 32000);
    std::string lockFolder = "/tmp/kestrova-itest-ports";
    mkdir(lockFolder.c_str(), 01777);
    chmod(lockFolder.c_str(), 01777);
    for (int attempt = 0; attempt < 5000 && static_cast<int>(ports.size()) < count; ++attempt) {
        int port = pick(random);
        if (std::find(ports.begin(), ports.end(), port) != ports.end())
            continue;
        std::string lockPath = lockFolder + "/" + std::to_string(port);
        int fd = open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        if (fd < 0)
            continue;
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            close(fd);
            continue;
        }
        if (portMentioned(port) || !portBindable(port, false) || !portBindable(port, true)) {
            close(fd);
            continue;
        }
        ports.push_back(port);
        if (outLockFds)
            outLockFds->push_back(fd);
        else
            close(fd);
    }
    return ports;
}

int itestOccupyPort(int port, bool ipv6)
{
    int fd = socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    int rc = bindLoopback(fd, port, ipv6);
    if (rc != 0 || listen(fd, 4) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

ITestService::~ITestService()
{
    if (pid > 0 && !exited) {
        kill(pid, SIGTERM);
        if (itestWaitExit(*this, 60) < 0 && !exited) {
            kill(pid, SIGKILL);
            reap(*this, true);
        }
    }
    for (int fd : portLockFds)
        close(fd);
    const char* keep = getenv("KESTROVA_ITEST_KEEP");
    if (!root.empty() && !(keep && *keep)) {
        std::error_code ec;
        fs::remove_all(root, ec);
    }
}

std::unique_ptr<ITestService> itestPrepareService(const ITestServiceOptions& options,
                                                  std::string* outError)
{
    auto service = std::make_unique<ITestService>();
    service->options = options;
    service->binDir = itestBinDir();
    // The programs read the ini next to them before any other: one left there
    // (by scripts/run) would send every test's log elsewhere.
    if (access((service->binDir + "/ARDEQKestrova.ini").c_str(), F_OK) == 0) {
        setError(outError, service->binDir + "/ARDEQKestrova.ini exists: the service would log "
                           "there instead of the test's folder; remove it");
        return nullptr;
    }

    std::string pattern = baseTempFolder() + "/kit-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (!mkdtemp(buffer.data())) {
        setError(outError, "mkdtemp failed: " + std::string(strerror(errno)));
        return nullptr;
    }
    service->root = buffer.data();
    service->appData = service->root + "/appdata";
    service->copyPath = service->appData + "/ARDEQKestrova";
    service->runtimeDir = service->root + "/run";
    service->sysconfDir = service->root + "/etc";
    service->tmpDir = service->root + "/tmp";
    service->home = service->root + "/home";
    service->desktop = service->home + "/Desktop";
    service->logDir = service->root + "/log";
    service->outputPath = service->root + "/output.txt";

    bool ok = makeFolder(service->appData, 0755) && makeFolder(service->runtimeDir, 0700) &&
              makeFolder(service->sysconfDir, 0755) && makeFolder(service->tmpDir, 0700) &&
              makeFolder(service->home, 0700) && makeFolder(service->desktop, 0700) &&
              makeFolder(service->logDir, 0755);
    if (!ok) {
        setError(outError, "cannot create the folders under " + service->root);
        return nullptr;
    }

    // An empty token store of its own, so the service never sees the
    // machine's SoftHSM2 tokens (a test that needs tokens passes its own
    // SOFTHSM2_CONF in options.environment).
    std::string softhsmConf = service->root + "/softhsm2.conf";
    if (!makeFolder(service->root + "/softhsm/tokens", 0700)) {
        setError(outError, "cannot create the token folder");
        return nullptr;
    }
    {
        std::ofstream conf(softhsmConf);
        conf << "directories.tokendir = " << service->root << "/softhsm/tokens\n"
             << "objectstore.backend = file\n"
             << "log.level = ERROR\n";
    }

    if (options.logLevel >= 0) {
        std::ofstream ini(service->sysconfDir + "/ARDEQKestrova.ini");
        ini << "[ARDEQKestrova]\n"
            << "Log File=" << service->logDir << "/kestrova.log\n"
            << "Log Level=" << options.logLevel << "\n";
        if (!ini) {
            setError(outError, "cannot write the ini");
            return nullptr;
        }
    }

    if (options.setPorts) {
        if (options.ports.empty()) {
            service->ports = itestFreePorts(3, &service->portLockFds);
            if (service->ports.size() != 3) {
                setError(outError, "no three free ports found");
                return nullptr;
            }
        } else {
            service->ports = options.ports;
        }
    } else {
        service->ports = {56366, 56386, 56406};
    }

    // The environment: the caller's, with every folder override replaced.
    std::vector<std::pair<std::string, std::string>> overrides = {
        {"KESTROVA_COMMON_APPDATA", service->appData},
        {"KESTROVA_RUNTIME_DIR", service->runtimeDir},
        {"KESTROVA_SYSCONF_DIR", service->sysconfDir},
        {"TMPDIR", service->tmpDir},
        {"HOME", service->home},
        {"XDG_DESKTOP_DIR", service->desktop},
        {"XDG_RUNTIME_DIR", service->runtimeDir},
        {"KESTROVA_COM_REGISTRY", options.comRegistry},
        {"KESTROVA_PORTS", ""},
    };
    // A token store the test process chose itself is passed on.
    const char* inheritedTokens = getenv("SOFTHSM2_CONF");
    if (!inheritedTokens || !*inheritedTokens)
        overrides.emplace_back("SOFTHSM2_CONF", softhsmConf);
    if (options.setPorts) {
        std::string list = "port=";
        for (size_t i = 0; i < service->ports.size(); ++i)
            list += (i ? " " : "") + std::to_string(service->ports[i]);
        for (auto& entry : overrides)
            if (entry.first == "KESTROVA_PORTS")
                entry.second = list;
    }
    for (const auto& extra : options.environment)
        overrides.push_back(extra);

    std::map<std::string, std::string> merged;
    for (char** e = environ; e && *e; ++e) {
        const char* eq = strchr(*e, '=');
        if (eq)
            merged[std::string(*e, static_cast<size_t>(eq - *e))] = eq + 1;
    }
    for (const auto& [name, value] : overrides) {
        if (value.empty())
            merged.erase(name);
        else
            merged[name] = value;
    }
    for (const auto& [name, value] : merged)
        service->environment.push_back(name + "=" + value);
    return service;
}

bool itestLaunchService(ITestService& service, std::string* outError)
{
    std::string program = service.binDir + "/" + service.options.program;
    if (access(program.c_str(), X_OK) != 0) {
        setError(outError, program + " is not there (build it first)");
        return false;
    }
    std::vector<std::string> args = {program};
    for (auto& word : splitAtBlanks(service.options.commandLine))
        args.push_back(word);
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (auto& e : service.environment)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, service.outputPath.c_str(),
                                     O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    posix_spawn_file_actions_addchdir_np(&actions, service.root.c_str());
    // The test may block signals in its own threads; the service must not
    // inherit that mask.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGTERM);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    int rc = posix_spawn(&service.pid, program.c_str(), &actions, &attributes, argv.data(),
                         envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (rc != 0) {
        service.pid = -1;
        setError(outError, "posix_spawn failed: " + std::string(strerror(rc)));
        return false;
    }
    if (!service.options.waitUntilServing)
        return true;

    if (!itestWaitForLog(service, "ARDEQKestrova initialization: ",
                         service.options.startTimeoutSeconds)) {
        setError(outError, "the service did not finish its start-up; output:\n" +
                               itestReadOutput(service) + "\nlog:\n" + itestReadLog(service));
        return false;
    }
    // The success line follows the "HTTPS Mode" line within the same start-up.
    if (itestCountLogLines(service, "ARDEQKestrova initialization: Success") == 0) {
        setError(outError, "the service did not start its listeners; log:\n" + itestReadLog(service));
        return false;
    }
    return true;
}

std::unique_ptr<ITestService> itestStartService(const ITestServiceOptions& options,
                                                std::string* outError)
{
    auto service = itestPrepareService(options, outError);
    if (!service)
        return nullptr;
    if (!itestLaunchService(*service, outError))
        return nullptr;
    return service;
}

bool itestIsRunning(ITestService& service)
{
    return service.pid > 0 && !reap(service, false);
}

bool itestWaitForLog(ITestService& service, const std::string& text, int timeoutSeconds)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    for (;;) {
        if (itestReadLog(service).find(text) != std::string::npos)
            return true;
        if (!itestIsRunning(service)) // one more look: the last lines may just have landed
            return itestReadLog(service).find(text) != std::string::npos;
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

int itestWaitExit(ITestService& service, int timeoutSeconds)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    while (!reap(service, false)) {
        if (std::chrono::steady_clock::now() > deadline)
            return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return service.exitCode;
}

int itestStopService(ITestService& service, int signalNumber, int timeoutSeconds)
{
    if (service.pid <= 0)
        return -1;
    if (!reap(service, false))
        kill(service.pid, signalNumber);
    return itestWaitExit(service, timeoutSeconds);
}

std::string itestReadLog(const ITestService& service)
{
    std::vector<fs::path> files;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(service.logDir, ec))
        if (entry.is_regular_file())
            files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    std::string all;
    for (const auto& file : files) {
        std::ifstream in(file, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        all += text.str();
    }
    all.erase(std::remove(all.begin(), all.end(), '\r'), all.end());
    return all;
}

std::string itestReadOutput(const ITestService& service)
{
    std::ifstream in(service.outputPath, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

int itestCountLogLines(const ITestService& service, const std::string& text)
{
    std::istringstream in(itestReadLog(service));
    std::string line;
    int count = 0;
    while (std::getline(in, line))
        if (line.find(text) != std::string::npos)
            ++count;
    return count;
}

ITestCommandResult itestRunCommand(const std::vector<std::string>& argvText, int timeoutSeconds)
{
    ITestCommandResult result;
    if (argvText.empty())
        return result;
    char outPath[] = "/tmp/kit-cmd-XXXXXX";
    int outFd = mkstemp(outPath);
    if (outFd < 0)
        return result;
    std::vector<std::string> args = argvText;
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, outFd, 1);
    posix_spawn_file_actions_adddup2(&actions, outFd, 2);
    pid_t pid = -1;
    int rc = posix_spawnp(&pid, args[0].c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(outFd);
    if (rc == 0) {
        ITestService waiter; // reuse the reaping logic
        waiter.pid = pid;
        if (itestWaitExit(waiter, timeoutSeconds) < 0) {
            kill(pid, SIGKILL);
            reap(waiter, true);
        }
        result.exitCode = waiter.exitCode;
        waiter.pid = -1;
    }
    std::ifstream in(outPath, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    result.output = text.str();
    unlink(outPath);
    return result;
}
