#pragma once
// Generic helpers for tests (header only): a temporary folder removed with its
// contents, scoped environment variables, free local ports, polling without
// timed assertions, and small file helpers. Usable from any test target that
// has the repository root on its include path.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace kestrova_test {

// A fresh folder under $TMPDIR (else /tmp) removed with everything in it when
// the object goes. path() has no final "/".
class TempFolder {
  public:
    explicit TempFolder(const char* tag = "kestrova-test") {
        const char* base = getenv("TMPDIR");
        std::string pattern = std::string(base != nullptr && base[0] != '\0' ? base : "/tmp");
        if (pattern.back() == '/')
            pattern.pop_back();
        pattern += std::string("/") + tag + "-XXXXXX";
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        if (mkdtemp(buffer.data()) != nullptr)
            path_ = buffer.data();
    }
    ~TempFolder() {
        if (!path_.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(path_, ignored);
        }
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::string& path() const { return path_; }
    // path() + "/" + name, with the folders along it created.
    std::string sub(const std::string& name) const {
        std::string full = path_ + "/" + name;
        std::error_code ignored;
        std::filesystem::create_directories(std::filesystem::path(full).parent_path(), ignored);
        return full;
    }
    // Creates path() + "/" + name as a folder and returns it.
    std::string folder(const std::string& name) const {
        std::string full = path_ + "/" + name;
        std::error_code ignored;
        std::filesystem::create_directories(full, ignored);
        return full;
    }

  private:
    std::string path_;
};

// Sets (or with a null value unsets) an environment variable and restores
// the former value when the object goes.
class ScopedEnv {
  public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        const char* old = getenv(name);
        if (old != nullptr)
            old_ = std::string(old);
        if (value != nullptr)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ScopedEnv(const char* name, const std::string& value) : ScopedEnv(name, value.c_str()) {}
    ~ScopedEnv() {
        if (old_)
            setenv(name_.c_str(), old_->c_str(), 1);
        else
            unsetenv(name_.c_str());
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

  private:
    std::string name_;
    std::optional<std::string> old_;
};

// True when a TCP socket can bind port on address ("127.0.0.1" or "::1").
inline bool canBindTcp(const char* address, int port) {
    bool six = strchr(address, ':') != nullptr;
    int fd = socket(six ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    bool ok;
    if (six) {
        setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
        sockaddr_in6 a{};
        a.sin6_family = AF_INET6;
        a.sin6_port = htons(static_cast<uint16_t>(port));
        inet_pton(AF_INET6, address, &a.sin6_addr);
        ok = bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    } else {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        inet_pton(AF_INET, address, &a.sin_addr);
        ok = bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    close(fd);
    return ok;
}

// A port the kernel hands out as free that can also be bound on 127.0.0.1
// and on ::1 at this moment (another process may still take it later; keep
// the window short). 0 when none was found.
inline int findFreeTcpPort() {
    for (int attempt = 0; attempt < 64; attempt++) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0)
            return 0;
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = 0;
        inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
        int port = 0;
        if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
            socklen_t length = sizeof a;
            if (getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length) == 0)
                port = ntohs(a.sin_port);
        }
        close(fd);
        if (port != 0 && canBindTcp("127.0.0.1", port) && canBindTcp("::1", port))
            return port;
    }
    return 0;
}

// count distinct free ports (see findFreeTcpPort).
inline std::vector<int> findFreeTcpPorts(size_t count) {
    std::vector<int> ports;
    for (int attempt = 0; ports.size() < count && attempt < 256; attempt++) {
        int port = findFreeTcpPort();
        bool seen = false;
        for (int p : ports)
            seen = seen || p == port;
        if (port != 0 && !seen)
            ports.push_back(port);
    }
    return ports;
}

// Polls condition every 10 ms until it holds or limit passes. The limit is a
// guard against hanging, not a timed assertion: keep it generous.
inline bool waitFor(const std::function<bool()>& condition,
                    std::chrono::milliseconds limit = std::chrono::seconds(30)) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return condition();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

inline std::string readFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

inline bool writeFile(const std::string& path, const std::string& text) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << text;
    return static_cast<bool>(file);
}

inline std::vector<std::string> readLines(const std::string& path) {
    std::vector<std::string> lines;
    std::ifstream file(path);
    std::string line;
    while (std::getline(file, line))
        lines.push_back(line);
    return lines;
}

} // namespace kestrova_test
