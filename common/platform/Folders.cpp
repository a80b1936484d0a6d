// Well-known folders and identity of the running program and user.

#include "common/platform/Platform.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <vector>

namespace {

std::string environmentOr(const char* name, const char* fallback) {
    const char* value = getenv(name);
    if (value != nullptr && value[0] != '\0')
        return value;
    return fallback;
}

std::string passwordHome() {
    std::vector<char> buffer(16384);
    struct passwd entry {};
    struct passwd* result = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &result) == 0 &&
        result != nullptr && result->pw_dir != nullptr)
        return result->pw_dir;
    return "";
}

std::string withoutFinalSlash(std::string path) {
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

// Makes folder with mode 0700 unless it exists (missing parents too); then
// insists that it is a real folder owned by us, so another user cannot plant
// our locks, events or sockets, and closes it to others if it was open.
bool ensurePrivateFolder(const std::string& folder, int* outError) {
    if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        bool made = false;
        if (errno == ENOENT) {
            for (size_t slash = folder.find('/', 1); slash != std::string::npos;
                 slash = folder.find('/', slash + 1))
                mkdir(folder.substr(0, slash).c_str(), 0700);
            made = mkdir(folder.c_str(), 0700) == 0 || errno == EEXIST;
        }
        if (!made) {
            if (outError != nullptr)
                *outError = errno;
            return false;
        }
    }
    struct stat info {};
    if (lstat(folder.c_str(), &info) != 0) {
        if (outError != nullptr)
            *outError = errno;
        return false;
    }
    if (!S_ISDIR(info.st_mode) || info.st_uid != geteuid()) {
        if (outError != nullptr)
            *outError = S_ISDIR(info.st_mode) ? EACCES : ENOTDIR;
        return false;
    }
    if ((info.st_mode & 077) != 0 && chmod(folder.c_str(), 0700) != 0) {
        if (outError != nullptr)
            *outError = errno;
        return false;
    }
    return true;
}

// Reads the DESKTOP entry of ~/.config/user-dirs.dirs: XDG_DESKTOP_DIR="$HOME/Desktop".
std::string userDirsDesktop(const std::string& home) {
    std::string configHome = environmentOr("XDG_CONFIG_HOME", "");
    if (configHome.empty())
        configHome = home + ".config";
    std::ifstream file(withoutFinalSlash(configHome) + "/user-dirs.dirs");
    std::string line;
    while (std::getline(file, line)) {
        size_t start = line.find_first_not_of(" \t");
        if (start == std::string::npos || line[start] == '#')
            continue;
        const std::string key = "XDG_DESKTOP_DIR=";
        if (line.compare(start, key.size(), key) != 0)
            continue;
        std::string value = line.substr(start + key.size());
        while (!value.empty() &&
               (value.back() == '\r' || value.back() == ' ' || value.back() == '\t'))
            value.pop_back();
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
            value = value.substr(1, value.size() - 2);
        if (value.compare(0, 5, "$HOME") == 0)
            value = withoutFinalSlash(home) + value.substr(5);
        if (!value.empty() && value[0] == '/')
            return withoutFinalSlash(value);
    }
    return "";
}

} // namespace

std::string platformCommonAppDataFolder() {
    return withoutFinalSlash(environmentOr("KESTROVA_COMMON_APPDATA", "/var/lib"));
}

std::string platformSysconfFolder() {
    return withoutFinalSlash(environmentOr("KESTROVA_SYSCONF_DIR", "/etc"));
}

std::string platformUserTempFolder() {
    std::string folder = environmentOr("TMPDIR", "/tmp");
    if (folder.back() != '/')
        folder += '/';
    return folder;
}

std::string platformHomeFolder() {
    std::string home = environmentOr("HOME", "");
    if (home.empty())
        home = passwordHome();
    if (home.empty())
        return "";
    if (home.back() != '/')
        home += '/';
    return home;
}

std::string platformDesktopFolder() {
    std::string desktop = environmentOr("XDG_DESKTOP_DIR", "");
    if (!desktop.empty())
        return withoutFinalSlash(desktop);
    std::string home = platformHomeFolder();
    if (home.empty())
        return "";
    desktop = userDirsDesktop(home);
    if (!desktop.empty())
        return desktop;
    return home + "Desktop";
}

bool platformRuntimeFolder(std::string& outFolder, int* outError) {
    outFolder.clear();
    if (outError != nullptr)
        *outError = 0;
    std::string folder = environmentOr("KESTROVA_RUNTIME_DIR", "");
    if (folder.empty()) {
        std::string xdg = environmentOr("XDG_RUNTIME_DIR", "");
        if (!xdg.empty())
            folder = withoutFinalSlash(xdg) + "/ARDEQKestrova";
        else
            folder = "/tmp/ARDEQKestrova-" + std::to_string(geteuid());
    }
    folder = withoutFinalSlash(folder);
    if (!ensurePrivateFolder(folder, outError))
        return false;
    outFolder = folder;
    return true;
}

std::string platformRuntimeSubfolder(const char* sub, int* outError) {
    std::string folder;
    if (!platformRuntimeFolder(folder, outError))
        return "";
    if (sub == nullptr || sub[0] == '\0')
        return folder;
    folder += '/';
    folder += sub;
    if (!ensurePrivateFolder(folder, outError))
        return "";
    return folder;
}

std::string platformExecutablePath() {
    std::vector<char> buffer(4096);
    for (;;) {
        ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (length < 0)
            return "";
        if (static_cast<size_t>(length) < buffer.size())
            return std::string(buffer.data(), static_cast<size_t>(length));
        if (buffer.size() >= 65536)
            return "";
        buffer.resize(buffer.size() * 2);
    }
}

std::string platformExecutableFolder() {
    std::string path = platformExecutablePath();
    size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return path;
    if (slash == 0)
        return "/";
    return path.substr(0, slash);
}

std::string platformUserName() {
    std::vector<char> buffer(16384);
    struct passwd entry {};
    struct passwd* result = nullptr;
    if (getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &result) == 0 &&
        result != nullptr && result->pw_name != nullptr && result->pw_name[0] != '\0')
        return result->pw_name;
    std::string user = environmentOr("USER", "");
    if (!user.empty())
        return user;
    return std::to_string(geteuid());
}
