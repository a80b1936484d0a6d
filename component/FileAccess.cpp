// The allowed-folder check of every path a page hands to the component.

#include "component/FileAccess.h"

#include "common/platform/Platform.h"
#include "common/runtime/Log.h"
#include "component/Token.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace {

constexpr size_t kMaxConfigLines = 1000;

std::string homeFolder() {
    std::string home = platformHomeFolder();
    while (home.size() > 1 && home.back() == '/')
        home.pop_back();
    return home;
}

std::string configFile() {
    const char* xdg = getenv("XDG_CONFIG_HOME");
    std::string base = xdg && *xdg == '/' ? std::string(xdg) : homeFolder() + "/.config";
    return base + "/ARDEQKestrova/component.conf";
}

std::string trim(const std::string& text) {
    size_t a = text.find_first_not_of(" \t\r\n");
    if (a == std::string::npos)
        return std::string();
    size_t b = text.find_last_not_of(" \t\r\n");
    return text.substr(a, b - a + 1);
}

std::string expandHome(const std::string& path) {
    if (path == "~")
        return homeFolder();
    if (path.compare(0, 2, "~/") == 0)
        return homeFolder() + path.substr(1);
    return path;
}

// Values of "key = value" lines of the configuration file.
std::vector<std::string> configValues(const char* key) {
    std::vector<std::string> out;
    std::ifstream in(configFile());
    std::string line;
    size_t lines = 0;
    while (lines++ < kMaxConfigLines && std::getline(in, line)) {
        line = trim(line);
        if (line.empty() || line[0] == '#' || line[0] == ';')
            continue;
        size_t eq = line.find('=');
        if (eq == std::string::npos)
            continue;
        if (trim(line.substr(0, eq)) != key)
            continue;
        std::string value = expandHome(trim(line.substr(eq + 1)));
        if (!value.empty())
            out.push_back(value);
    }
    return out;
}

std::string realPath(const std::string& path) {
    char* resolved = realpath(path.c_str(), nullptr);
    if (!resolved)
        return std::string();
    std::string out(resolved);
    free(resolved);
    return out;
}

bool inside(const std::string& path, const std::vector<std::string>& folders) {
    for (const std::string& folder : folders) {
        if (folder == "/")
            return true;
        if (path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 &&
            path[folder.size()] == '/')
            return true;
    }
    return false;
}

// Where a descriptor really leads, as the kernel sees it now.
std::string descriptorPath(int fd) {
    char link[64];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    char target[PATH_MAX + 1];
    ssize_t n = readlink(link, target, PATH_MAX);
    if (n <= 0)
        return std::string();
    return std::string(target, static_cast<size_t>(n));
}

std::string absoluteOf(const std::string& path, const std::vector<std::string>& folders) {
    if (!path.empty() && path[0] == '/')
        return path;
    if (folders.empty())
        return std::string();
    return folders.front() + "/" + path;
}

} // namespace

std::vector<std::string> fileAccessAllowedFolders() {
    std::vector<std::string> configured = configValues("folder");
    if (configured.empty())
        configured.push_back(homeFolder() + "/ARDEQKestrova");
    std::vector<std::string> out;
    for (const std::string& folder : configured) {
        if (folder[0] != '/')
            continue; // relative folders would depend on the service's cwd
        std::string resolved = realPath(folder);
        struct stat st {};
        if (resolved.empty() || stat(resolved.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
            continue;
        out.push_back(resolved);
    }
    return out;
}

std::vector<std::string> fileAccessConfiguredModules() {
    return configValues("module");
}

long fileAccessResolve(const std::string& path, bool forWriting, std::string& outResolved) {
    outResolved.clear();
    if (path.empty() || path.size() > PATH_MAX || path.find('\0') != std::string::npos)
        return kTokenBadArgument;
    std::vector<std::string> folders = fileAccessAllowedFolders();
    std::string absolute = absoluteOf(path, folders);
    if (absolute.empty())
        return kTokenPathRefused;
    std::string resolved;
    if (!forWriting) {
        resolved = realPath(absolute);
    } else {
        size_t slash = absolute.find_last_of('/');
        std::string name = absolute.substr(slash + 1);
        if (name.empty() || name == "." || name == "..")
            return kTokenBadArgument;
        std::string parent = realPath(slash == 0 ? std::string("/") : absolute.substr(0, slash));
        if (!parent.empty())
            resolved = (parent == "/" ? std::string() : parent) + "/" + name;
        // An existing link at the final name would lead elsewhere.
        struct stat st {};
        if (!resolved.empty() && lstat(resolved.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
            logWarning("Refused path: ", path.c_str());
            return kTokenPathRefused;
        }
    }
    if (resolved.empty() || !inside(resolved, folders)) {
        logWarning("Refused path: ", path.c_str());
        return kTokenPathRefused;
    }
    outResolved = resolved;
    return kTokenOk;
}

long fileAccessResolveFolder(const std::string& path, std::string& outResolved) {
    outResolved.clear();
    if (path.empty() || path.size() > PATH_MAX || path.find('\0') != std::string::npos)
        return kTokenBadArgument;
    std::vector<std::string> folders = fileAccessAllowedFolders();
    std::string absolute = absoluteOf(path, folders);
    std::string resolved = absolute.empty() ? std::string() : realPath(absolute);
    struct stat st {};
    if (!resolved.empty() && (stat(resolved.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)))
        return kTokenBadArgument;
    bool allowed = !resolved.empty() && inside(resolved + "/x", folders);
    if (!allowed) {
        logWarning("Refused path: ", path.c_str());
        return kTokenPathRefused;
    }
    outResolved = resolved;
    return kTokenOk;
}

long fileAccessRead(const std::string& path, size_t cap, std::string& outBytes) {
    outBytes.clear();
    std::string resolved;
    long rc = fileAccessResolve(path, false, resolved);
    if (rc != kTokenOk)
        return rc;
    int fd = open(resolved.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0)
        return kTokenFileFailed;
    struct stat st {};
    std::string opened = descriptorPath(fd);
    if (opened.empty() || !inside(opened, fileAccessAllowedFolders())) {
        close(fd);
        logWarning("Refused path: ", path.c_str());
        return kTokenPathRefused;
    }
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return kTokenBadArgument;
    }
    if (static_cast<unsigned long long>(st.st_size) > cap) {
        close(fd);
        return kTokenTooLarge;
    }
    std::string bytes;
    char buf[65536];
    rc = kTokenOk;
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            rc = kTokenFileFailed;
            break;
        }
        if (n == 0)
            break;
        if (bytes.size() + static_cast<size_t>(n) > cap) { // grew while we read
            rc = kTokenTooLarge;
            break;
        }
        bytes.append(buf, static_cast<size_t>(n));
    }
    close(fd);
    if (rc == kTokenOk)
        outBytes = std::move(bytes);
    return rc;
}

long fileAccessWrite(const std::string& path, const std::string& bytes) {
    std::string resolved;
    long rc = fileAccessResolve(path, true, resolved);
    if (rc != kTokenOk)
        return rc;
    size_t slash = resolved.find_last_of('/');
    std::string folder = slash == 0 ? std::string("/") : resolved.substr(0, slash);
    std::string name = resolved.substr(slash + 1);
    int dirFd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
    if (dirFd < 0)
        return kTokenFileFailed;
    std::string opened = descriptorPath(dirFd);
    std::vector<std::string> folders = fileAccessAllowedFolders();
    if (opened.empty() || !(inside(opened + "/x", folders))) {
        close(dirFd);
        logWarning("Refused path: ", path.c_str());
        return kTokenPathRefused;
    }
    std::string temp = "." + name + ".kestrova-" + std::to_string(getpid()) + ".tmp";
    int fd =
        openat(dirFd, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        close(dirFd);
        return kTokenFileFailed;
    }
    size_t done = 0;
    rc = kTokenOk;
    while (done < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            rc = kTokenFileFailed;
            break;
        }
        done += static_cast<size_t>(n);
    }
    if (rc == kTokenOk && fsync(fd) != 0)
        rc = kTokenFileFailed;
    if (close(fd) != 0)
        rc = kTokenFileFailed;
    if (rc == kTokenOk && renameat(dirFd, temp.c_str(), dirFd, name.c_str()) != 0)
        rc = kTokenFileFailed;
    if (rc != kTokenOk)
        unlinkat(dirFd, temp.c_str(), 0);
    close(dirFd);
    return rc;
}
