#pragma once
// Starting a program from a test (header only): ScopedProgram starts an
// argument vector with extra environment variables, sends its output to
// files, and kills and reaps it when the object goes, so a failed assertion
// never leaves a process behind.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <string>
#include <vector>

extern char** environ;

namespace kestrova_test {

class ScopedProgram {
  public:
    // Starts arguments[0] (a path, or a name looked up on PATH) with the
    // current environment plus/overridden by extraEnvironment. Standard input
    // is /dev/null; standard output and error go to the given files (empty:
    // inherited). started() tells whether it runs.
    ScopedProgram(const std::vector<std::string>& arguments,
                  const std::map<std::string, std::string>& extraEnvironment = {},
                  const std::string& outputFile = "", const std::string& errorFile = "") {
        if (arguments.empty())
            return;
        std::vector<std::string> environment;
        for (char** entry = environ; *entry != nullptr; entry++) {
            std::string text = *entry;
            std::string name = text.substr(0, text.find('='));
            if (extraEnvironment.find(name) == extraEnvironment.end())
                environment.push_back(text);
        }
        for (const auto& [name, value] : extraEnvironment)
            environment.push_back(name + "=" + value);
        std::vector<char*> argv;
        std::vector<std::string> argumentCopy = arguments;
        for (std::string& a : argumentCopy)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        std::vector<char*> envp;
        for (std::string& e : environment)
            envp.push_back(e.data());
        envp.push_back(nullptr);

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        if (!outputFile.empty())
            posix_spawn_file_actions_addopen(&actions, 1, outputFile.c_str(),
                                             O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (!errorFile.empty())
            posix_spawn_file_actions_addopen(&actions, 2, errorFile.c_str(),
                                             O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int result =
            arguments[0].find('/') != std::string::npos
                ? posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data())
                : posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        if (result != 0)
            pid_ = -1;
    }
    ~ScopedProgram() { kill(); }
    ScopedProgram(const ScopedProgram&) = delete;
    ScopedProgram& operator=(const ScopedProgram&) = delete;

    bool started() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }

    // True while the program runs (reaps it when it has ended).
    bool running() {
        if (pid_ <= 0)
            return false;
        int status = 0;
        pid_t done = waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            code_ = decode(status);
            pid_ = -1;
            return false;
        }
        return done == 0;
    }

    // Waits for the end: the exit code, or 128 + signal; -1 when not started.
    int wait() {
        if (pid_ > 0) {
            int status = 0;
            while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
            }
            code_ = decode(status);
            pid_ = -1;
        }
        return code_;
    }

    // Sends signal (SIGTERM by default) without waiting.
    void signal(int number = SIGTERM) {
        if (pid_ > 0)
            ::kill(pid_, number);
    }

    // SIGKILL and reap; returns the code as wait() does.
    int kill() {
        if (pid_ > 0)
            ::kill(pid_, SIGKILL);
        return wait();
    }

  private:
    static int decode(int status) {
        if (WIFEXITED(status))
            return WEXITSTATUS(status);
        if (WIFSIGNALED(status))
            return 128 + WTERMSIG(status);
        return -1;
    }

    pid_t pid_ = -1;
    int code_ = -1;
};

} // namespace kestrova_test
