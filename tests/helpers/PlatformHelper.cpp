// kestrova_test_helper: a tiny program the tests start as a second process.
//
//   exit N                      ends with exit code N
//   signal N                    kills itself with signal N
//   sleep MS                    sleeps, then exits 0
//   args FILE ARG...            writes each argument on a line of FILE
//   lock NAME WAITMS MARK       getMutexLock(NAME, WAITMS): exit 3 when not
//                               acquired; else touches MARK and holds the lock
//                               until killed (or exits 0 at once when MARK is "-")
//   wait-event NAME READY OUT   opens the event, touches READY, then appends a
//                               line to OUT on every pulse, until killed
//   log INI COUNT ID            QXLogInit with INI, then COUNT lines at level 5
//   killname NAME               platformKillByName(NAME); exit code = count
//
// It lands in the execute folder beside the programs, so the "X.exe" rule
// finds it as "kestrova_test_helper.exe".

#include "common/platform/Platform.h"
#include "common/runtime/QXLog.h"
#include "common/runtime/Tool.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

void touch(const char* path) {
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd >= 0)
        close(fd);
}

void appendLine(const char* path, const std::string& line) {
    int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    std::string text = line + "\n";
    ssize_t ignored = write(fd, text.data(), text.size());
    (void)ignored;
    close(fd);
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2)
        return 64;
    std::string command = argv[1];
    if (command == "exit" && argc >= 3)
        return atoi(argv[2]);
    if (command == "signal" && argc >= 3) {
        signal(atoi(argv[2]), SIG_DFL);
        raise(atoi(argv[2]));
        return 0;
    }
    if (command == "sleep" && argc >= 3) {
        usleep(static_cast<useconds_t>(atoi(argv[2])) * 1000);
        return 0;
    }
    if (command == "args" && argc >= 3) {
        for (int i = 3; i < argc; i++)
            appendLine(argv[2], argv[i]);
        return 0;
    }
    if (command == "lock" && argc >= 5) {
        MutexLock* lock = getMutexLock(argv[2], static_cast<unsigned>(atoi(argv[3])));
        if (lock == nullptr)
            return 3;
        if (strcmp(argv[4], "-") == 0) {
            releaseMutexLock(lock);
            return 0;
        }
        touch(argv[4]);
        for (;;)
            pause();
    }
    if (command == "wait-event" && argc >= 5) {
        int error = 0;
        PlatformEvent* event = platformEventOpen(argv[2], &error);
        if (event == nullptr)
            return 4;
        touch(argv[3]);
        for (int count = 1;; count++) {
            int result = platformEventWait(event, -1);
            if (result < 0)
                return 5;
            if (result > 0)
                appendLine(argv[4], "pulse " + std::to_string(count));
        }
    }
    if (command == "killname" && argc >= 3)
        return platformKillByName(argv[2]);
    if (command == "log" && argc >= 5) {
        if (QXLogInit("ARDEQKestrova", argv[2]) != 0)
            return 6;
        int count = atoi(argv[3]);
        // A long line makes an interleaving of two writers visible.
        std::string payload(600, 'x');
        for (int i = 0; i < count; i++)
            QXLogPrint(5, "writer=%s index=%d payload=%s end", argv[4], i, payload.c_str());
        return 0;
    }
    return 64;
}
