// Program starts without a window and process scans over /proc.

#include "common/platform/Platform.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <thread>
#include <vector>

extern char** environ;

namespace {

bool endsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// Splits at blanks; double quotes group and are removed.
std::vector<std::string> splitCommandLine(const char* command) {
    std::vector<std::string> words;
    std::string word;
    bool inWord = false;
    bool quoted = false;
    for (const char* c = command; *c != '\0'; c++) {
        if (*c == '"') {
            quoted = !quoted;
            inWord = true;
        } else if (!quoted && (*c == ' ' || *c == '\t' || *c == '\n' || *c == '\r')) {
            if (inWord)
                words.push_back(word);
            word.clear();
            inWord = false;
        } else {
            word += *c;
            inWord = true;
        }
    }
    if (inWord)
        words.push_back(word);
    return words;
}

std::string shellQuote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    return quoted + "'";
}

// For a shell command only the first word follows the program-name rule; the
// rest is the shell's business.
std::string rewriteShellCommand(const char* command) {
    std::string text = command;
    size_t start = text.find_first_not_of(" \t");
    if (start == std::string::npos)
        return text;
    size_t end;
    std::string first;
    if (text[start] == '"') {
        end = text.find('"', start + 1);
        if (end == std::string::npos)
            return text;
        first = text.substr(start + 1, end - start - 1);
        end++;
    } else {
        end = text.find_first_of(" \t", start);
        if (end == std::string::npos)
            end = text.size();
        first = text.substr(start, end - start);
    }
    if (!endsWith(first, ".exe") || first.find('/') != std::string::npos)
        return text;
    return text.substr(0, start) + shellQuote(platformResolveProgram(first)) + text.substr(end);
}

struct SpawnSetup {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    bool ready = false;

    explicit SpawnSetup(bool newSession) {
        if (posix_spawn_file_actions_init(&actions) != 0)
            return;
        if (posix_spawnattr_init(&attributes) != 0) {
            posix_spawn_file_actions_destroy(&actions);
            return;
        }
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        // No descriptor of ours (lock files, sockets) may outlive us in a child.
        posix_spawn_file_actions_addclosefrom_np(&actions, 3);
        sigset_t empty;
        sigemptyset(&empty);
        sigset_t all;
        sigfillset(&all);
        sigdelset(&all, SIGKILL);
        sigdelset(&all, SIGSTOP);
        posix_spawnattr_setsigmask(&attributes, &empty);
        posix_spawnattr_setsigdefault(&attributes, &all);
        short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
        if (newSession)
            flags |= POSIX_SPAWN_SETSID;
        posix_spawnattr_setflags(&attributes, flags);
        ready = true;
    }
    ~SpawnSetup() {
        if (ready) {
            posix_spawn_file_actions_destroy(&actions);
            posix_spawnattr_destroy(&attributes);
        }
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;
};

pid_t spawnCommand(const char* command, bool throughShell, bool newSession) {
    if (command == nullptr)
        return -1;
    std::vector<std::string> words;
    if (throughShell) {
        words = {"/bin/sh", "-c", rewriteShellCommand(command)};
    } else {
        words = splitCommandLine(command);
        if (words.empty())
            return -1;
        words[0] = platformResolveProgram(words[0]);
    }
    std::vector<char*> arguments;
    for (std::string& word : words)
        arguments.push_back(word.data());
    arguments.push_back(nullptr);

    SpawnSetup setup(newSession);
    if (!setup.ready)
        return -1;
    pid_t pid = -1;
    int result;
    if (words[0].find('/') != std::string::npos)
        result = posix_spawn(&pid, words[0].c_str(), &setup.actions, &setup.attributes,
                             arguments.data(), environ);
    else
        result = posix_spawnp(&pid, words[0].c_str(), &setup.actions, &setup.attributes,
                              arguments.data(), environ);
    return result == 0 ? pid : -1;
}

std::string baseName(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string wantedName(const char* name) {
    std::string wanted = name;
    if (endsWith(wanted, ".exe"))
        wanted.resize(wanted.size() - 4);
    return wanted;
}

// Base name of /proc/<pid>/exe; argv[0] when the link cannot be read (another
// user's process). comm is never used: it is cut at 15 characters.
std::string processName(const std::string& pid) {
    std::string root = "/proc/" + pid;
    char buffer[4096];
    ssize_t length = readlink((root + "/exe").c_str(), buffer, sizeof buffer - 1);
    if (length > 0) {
        std::string path(buffer, static_cast<size_t>(length));
        if (endsWith(path, " (deleted)"))
            path.resize(path.size() - 10);
        return baseName(path);
    }
    std::ifstream cmdline(root + "/cmdline", std::ios::binary);
    std::string first;
    std::getline(cmdline, first, '\0');
    return baseName(first);
}

template <typename Visit> void forEachProcess(Visit visit) {
    DIR* folder = opendir("/proc");
    if (folder == nullptr)
        return;
    while (struct dirent* entry = readdir(folder)) {
        const char* name = entry->d_name;
        if (name[0] < '0' || name[0] > '9')
            continue;
        char* end = nullptr;
        long pid = strtol(name, &end, 10);
        if (*end != '\0' || pid <= 0)
            continue;
        if (!visit(static_cast<pid_t>(pid), std::string(name)))
            break;
    }
    closedir(folder);
}

} // namespace

std::string platformResolveProgram(const std::string& firstWord) {
    if (firstWord.find('/') != std::string::npos || !endsWith(firstWord, ".exe"))
        return firstWord;
    std::string folder = platformExecutableFolder();
    std::string program = firstWord.substr(0, firstWord.size() - 4);
    if (folder.empty())
        return program;
    if (folder.back() != '/')
        folder += '/';
    return folder + program;
}

pid_t platformStartProgram(const char* command, bool throughShell) {
    return spawnCommand(command, throughShell, false);
}

int platformWaitProgram(pid_t pid) {
    if (pid <= 0)
        return -1;
    int status = 0;
    for (;;) {
        pid_t done = waitpid(pid, &status, 0);
        if (done == pid)
            break;
        if (done < 0 && errno == EINTR)
            continue;
        return -1;
    }
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return -1;
}

int platformRunAndWait(const char* command, bool throughShell) {
    pid_t pid = platformStartProgram(command, throughShell);
    if (pid < 0)
        return 0;
    int code = platformWaitProgram(pid);
    return code < 0 ? 0 : code;
}

bool platformStartDetached(const char* command) {
    pid_t pid = spawnCommand(command, false, true);
    if (pid < 0)
        return false;
    // A reaper per start keeps the child from lingering as a zombie without
    // touching the process-wide SIGCHLD disposition other code may rely on.
    try {
        std::thread([pid]() noexcept {
            int status = 0;
            while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
        }).detach();
    } catch (...) {
        // No thread: reap now rather than leave a zombie.
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
    return true;
}

bool platformProcessExists(const char* name) {
    if (name == nullptr || name[0] == '\0')
        return false;
    std::string wanted = wantedName(name);
    bool found = false;
    forEachProcess([&](pid_t, const std::string& pid) {
        if (processName(pid) == wanted)
            found = true;
        return !found;
    });
    return found;
}

int platformKillByName(const char* name) {
    if (name == nullptr || name[0] == '\0')
        return 0;
    std::string wanted = wantedName(name);
    pid_t self = getpid();
    int killed = 0;
    forEachProcess([&](pid_t pid, const std::string& text) {
        if (pid != self && processName(text) == wanted && kill(pid, SIGKILL) == 0)
            killed++;
        return true;
    });
    return killed;
}
