// Platform layer: the folder overrides, per-user locks and named events across
// two processes, program starts and exit codes, process scans, the port probe
// against real sockets, and module loading.

#include "common/platform/Platform.h"
#include "tests/helpers/ProcessHelpers.h"
#include "tests/helpers/TestHelpers.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

using kestrova_test::ScopedEnv;
using kestrova_test::TempFolder;
using kestrova_test::waitFor;

namespace {

const std::string kHelper = KESTROVA_TEST_HELPER;

std::string helperCommand(const std::string& arguments) {
    return "\"" + kHelper + "\" " + arguments;
}

// Each test gets a private runtime folder, so locks and events of parallel
// test runs never meet.
class PlatformTest : public ::testing::Test {
  protected:
    TempFolder temp{"platform-test"};
    ScopedEnv runtime{"KESTROVA_RUNTIME_DIR", temp.path() + "/run"};
};

// A copy of the helper under a name of our own: scans and kills by name then
// cannot meet helpers of tests running in parallel. The name is longer than
// the 15 characters of comm on purpose.
std::string uniqueHelperCopy(const TempFolder& temp, const std::string& name) {
    std::string path = temp.sub("bin/" + name);
    std::filesystem::copy_file(kHelper, path);
    chmod(path.c_str(), 0755);
    return path;
}

bool hasZombieChild() {
    bool zombie = false;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        std::string name = entry.path().filename();
        if (name.empty() || name[0] < '0' || name[0] > '9')
            continue;
        std::string stat = kestrova_test::readFile(entry.path().string() + "/stat");
        size_t close = stat.rfind(')');
        if (close == std::string::npos || close + 4 >= stat.size())
            continue;
        char state = stat[close + 2];
        long parent = strtol(stat.c_str() + close + 4, nullptr, 10);
        if (parent == getpid() && state == 'Z')
            zombie = true;
    }
    return zombie;
}

} // namespace

// ---------------------------------------------------------------------------
// Folders
// ---------------------------------------------------------------------------

TEST_F(PlatformTest, FolderOverridesAndDefaults) {
    {
        ScopedEnv a("KESTROVA_COMMON_APPDATA", "/srv/appdata/");
        ScopedEnv s("KESTROVA_SYSCONF_DIR", "/srv/etc");
        ScopedEnv t("TMPDIR", "/srv/tmp");
        EXPECT_EQ(platformCommonAppDataFolder(), "/srv/appdata");
        EXPECT_EQ(platformSysconfFolder(), "/srv/etc");
        EXPECT_EQ(platformUserTempFolder(), "/srv/tmp/");
    }
    {
        ScopedEnv a("KESTROVA_COMMON_APPDATA", nullptr);
        ScopedEnv s("KESTROVA_SYSCONF_DIR", "");
        ScopedEnv t("TMPDIR", nullptr);
        EXPECT_EQ(platformCommonAppDataFolder(), "/var/lib");
        EXPECT_EQ(platformSysconfFolder(), "/etc");
        EXPECT_EQ(platformUserTempFolder(), "/tmp/");
    }
    {
        ScopedEnv t("TMPDIR", "/srv/tmp/");
        EXPECT_EQ(platformUserTempFolder(), "/srv/tmp/");
    }
}

TEST_F(PlatformTest, DesktopFolderFromEnvironmentUserDirsOrHome) {
    std::string home = temp.folder("home");
    ScopedEnv h("HOME", home);
    ScopedEnv c("XDG_CONFIG_HOME", nullptr);
    {
        ScopedEnv d("XDG_DESKTOP_DIR", "/srv/desk/");
        EXPECT_EQ(platformDesktopFolder(), "/srv/desk");
    }
    ScopedEnv d("XDG_DESKTOP_DIR", nullptr);
    EXPECT_EQ(platformDesktopFolder(), home + "/Desktop");
    kestrova_test::writeFile(
        temp.sub("home/.config/user-dirs.dirs"),
        "# written by xdg-user-dirs-update\nXDG_DOWNLOAD_DIR=\"$HOME/Downloads\"\n"
        "XDG_DESKTOP_DIR=\"$HOME/Schreibtisch\"\n");
    EXPECT_EQ(platformDesktopFolder(), home + "/Schreibtisch");
    EXPECT_EQ(platformHomeFolder(), home + "/");
}

TEST_F(PlatformTest, RuntimeFolderIsPrivateAndRefusedWhenNotOurs) {
    std::string folder;
    ASSERT_TRUE(platformRuntimeFolder(folder));
    EXPECT_EQ(folder, temp.path() + "/run");
    struct stat info {};
    ASSERT_EQ(stat(folder.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    EXPECT_EQ(platformRuntimeSubfolder("locks"), folder + "/locks");

    // Missing parents are made; a folder left open to others is closed.
    {
        ScopedEnv r("KESTROVA_RUNTIME_DIR", temp.path() + "/a/b/run");
        ASSERT_TRUE(platformRuntimeFolder(folder));
        EXPECT_EQ(folder, temp.path() + "/a/b/run");
        chmod(folder.c_str(), 0777);
        ASSERT_TRUE(platformRuntimeFolder(folder));
        ASSERT_EQ(stat(folder.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0700u);
    }

    // A file, or a link to a folder, where the folder should be.
    std::string linked = temp.path() + "/linked";
    ASSERT_EQ(symlink(temp.folder("elsewhere").c_str(), linked.c_str()), 0);
    {
        ScopedEnv r("KESTROVA_RUNTIME_DIR", linked);
        EXPECT_FALSE(platformRuntimeFolder(folder));
    }
    std::string file = temp.sub("not-a-folder");
    kestrova_test::writeFile(file, "x");
    {
        ScopedEnv r("KESTROVA_RUNTIME_DIR", file);
        int error = 0;
        EXPECT_FALSE(platformRuntimeFolder(folder, &error));
        EXPECT_TRUE(folder.empty());
        EXPECT_NE(error, 0);
    }
    // A folder of another user (only root can make one for the test).
    if (geteuid() == 0) {
        std::string foreign = temp.folder("foreign");
        ASSERT_EQ(chown(foreign.c_str(), 65534, 65534), 0);
        ScopedEnv r("KESTROVA_RUNTIME_DIR", foreign);
        int error = 0;
        EXPECT_FALSE(platformRuntimeFolder(folder, &error));
        EXPECT_EQ(error, EACCES);
        EXPECT_EQ(platformLockAcquire("someone_lock", 0), nullptr);
        EXPECT_EQ(platformEventCreate("someone_event"), nullptr);
    }
}

TEST_F(PlatformTest, RuntimeFolderFallsBackToXdgRuntimeDir) {
    ScopedEnv r("KESTROVA_RUNTIME_DIR", nullptr);
    ScopedEnv x("XDG_RUNTIME_DIR", temp.path());
    std::string folder;
    ASSERT_TRUE(platformRuntimeFolder(folder));
    EXPECT_EQ(folder, temp.path() + "/ARDEQKestrova");
}

TEST_F(PlatformTest, ExecutablePathFolderAndUser) {
    std::string path = platformExecutablePath();
    ASSERT_FALSE(path.empty());
    EXPECT_EQ(std::filesystem::path(path).filename(), "platform_test");
    EXPECT_EQ(platformExecutableFolder(), std::filesystem::path(path).parent_path().string());
    EXPECT_FALSE(platformUserName().empty());
}

// ---------------------------------------------------------------------------
// Locks
// ---------------------------------------------------------------------------

TEST_F(PlatformTest, LockExcludesInOneProcessAndIsFreeAfterRelease) {
    PlatformLock* first = platformLockAcquire("u_one", 0);
    ASSERT_NE(first, nullptr);
    int error = -1;
    EXPECT_EQ(platformLockAcquire("u_one", 0, &error), nullptr);
    EXPECT_EQ(error, 0); // busy, not an error
    PlatformLock* other = platformLockAcquire("u_two", 0);
    EXPECT_NE(other, nullptr);
    platformLockRelease(other);
    platformLockRelease(first);
    PlatformLock* again = platformLockAcquire("u_one", 0);
    EXPECT_NE(again, nullptr);
    platformLockRelease(again);
    platformLockRelease(nullptr);
}

TEST_F(PlatformTest, LockWaitSucceedsWhenHolderReleasesDuringTheWait) {
    PlatformLock* held = platformLockAcquire("u_wait", 0);
    ASSERT_NE(held, nullptr);
    std::thread releaser([held] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        platformLockRelease(held);
    });
    PlatformLock* waited = platformLockAcquire("u_wait", 60000);
    releaser.join();
    EXPECT_NE(waited, nullptr);
    platformLockRelease(waited);
}

TEST_F(PlatformTest, LockNamesThatLeaveTheFolderAreRefused) {
    int error = 0;
    EXPECT_EQ(platformLockAcquire("../escape", 0, &error), nullptr);
    EXPECT_EQ(error, EINVAL);
    EXPECT_EQ(platformLockAcquire("", 0, &error), nullptr);
    EXPECT_EQ(platformLockAcquire(nullptr, 0, &error), nullptr);
}

TEST_F(PlatformTest, LogLockIsWorldWritableFile) {
    int descriptor = platformLogLockAcquire();
    ASSERT_GE(descriptor, 0);
    struct stat info {};
    ASSERT_EQ(fstat(descriptor, &info), 0);
    if (info.st_uid == geteuid()) {
        EXPECT_EQ(info.st_mode & 0777, 0666u);
    }
    platformLogLockRelease(descriptor);
}

// ---------------------------------------------------------------------------
// Events
// ---------------------------------------------------------------------------

TEST_F(PlatformTest, EventOpenFailsWhenAbsentAndWaitTimesOut) {
    int error = 0;
    EXPECT_EQ(platformEventOpen("Absent_EVENT", &error), nullptr);
    EXPECT_EQ(error, ENOENT);
    EXPECT_FALSE(platformEventPulseByName("Absent_EVENT"));

    PlatformEvent* created = platformEventCreate("Test_EVENT", &error);
    ASSERT_NE(created, nullptr);
    PlatformEvent* opened = platformEventOpen("Test_EVENT", &error);
    ASSERT_NE(opened, nullptr);
    EXPECT_EQ(platformEventWait(opened, 0), 0);
    // A pulse while nobody waits is kept for the next wait, once.
    EXPECT_TRUE(platformEventPulse(created));
    EXPECT_EQ(platformEventWait(opened, 30000), 1);
    EXPECT_EQ(platformEventWait(opened, 0), 0);
    EXPECT_TRUE(platformEventPulseByName("Test_EVENT"));
    EXPECT_EQ(platformEventWait(opened, 30000), 1);
    platformEventClose(opened);
    platformEventClose(created);
}

TEST_F(PlatformTest, EventPulseWakesTwoWaitersInTwoProcessesOncePerPulse) {
    PlatformEvent* event = platformEventCreate("ARDEQKestrova_DEBUG_MODE");
    ASSERT_NE(event, nullptr);
    std::string ready[2] = {temp.sub("ready0"), temp.sub("ready1")};
    std::string out[2] = {temp.sub("out0"), temp.sub("out1")};
    pid_t waiters[2];
    for (int i = 0; i < 2; i++) {
        waiters[i] = platformStartProgram(
            helperCommand("wait-event ARDEQKestrova_DEBUG_MODE " + ready[i] + " " + out[i]).c_str(),
            false);
        ASSERT_GT(waiters[i], 0);
    }
    ASSERT_TRUE(waitFor([&] {
        return access(ready[0].c_str(), F_OK) == 0 && access(ready[1].c_str(), F_OK) == 0;
    }));
    for (size_t pulse = 1; pulse <= 3; pulse++) {
        ASSERT_TRUE(platformEventPulse(event));
        for (int i = 0; i < 2; i++) {
            ASSERT_TRUE(waitFor([&] { return kestrova_test::readLines(out[i]).size() >= pulse; }))
                << "waiter " << i << " missed pulse " << pulse;
            EXPECT_EQ(kestrova_test::readLines(out[i]).size(), pulse) << "waiter " << i;
        }
    }
    for (pid_t waiter : waiters) {
        kill(waiter, SIGKILL);
        EXPECT_EQ(platformWaitProgram(waiter), 128 + SIGKILL);
    }
    for (const std::string& file : out)
        EXPECT_EQ(kestrova_test::readLines(file).size(), 3u);
    platformEventClose(event);
}

// ---------------------------------------------------------------------------
// Programs
// ---------------------------------------------------------------------------

TEST_F(PlatformTest, RunAndWaitExitCodes) {
    struct Case {
        std::string command;
        bool shell;
        int code;
    };
    const Case cases[] = {
        {helperCommand("exit 0"), false, 0},
        {helperCommand("exit 7"), false, 7},
        {helperCommand("exit 255"), false, 255},
        {helperCommand("signal 9"), false, 128 + 9},
        {helperCommand("signal 15"), false, 128 + 15},
        {"kestrova_test_helper.exe exit 42", false, 42}, // the "X.exe" rule
        {"kestrova_test_helper.exe exit 43", true, 43},  // also through the shell
        {"exit 5", true, 5},
        {"kill -9 $$", true, 128 + 9},
        {"/nonexistent/program", false, 0}, // cannot start: 0
        {"no_such_program_kestrova", false, 0},
        {"", false, 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(platformRunAndWait(c.command.c_str(), c.shell), c.code) << c.command;
    EXPECT_EQ(platformRunAndWait(nullptr, false), 0);
}

TEST_F(PlatformTest, CommandLineSplitsAtBlanksAndQuotesGroup) {
    std::string file = temp.sub("args.txt");
    ASSERT_EQ(platformRunAndWait(
                  helperCommand("args " + file + " one \"two words\"  three \"\"").c_str(), false),
              0);
    EXPECT_EQ(kestrova_test::readLines(file),
              (std::vector<std::string>{"one", "two words", "three", ""}));
}

TEST_F(PlatformTest, ProgramNameRule) {
    std::string folder = platformExecutableFolder();
    EXPECT_EQ(platformResolveProgram("ARDEQKestrovaWorker.exe"), folder + "/ARDEQKestrovaWorker");
    EXPECT_EQ(platformResolveProgram("/usr/bin/env"), "/usr/bin/env");
    EXPECT_EQ(platformResolveProgram("sh"), "sh");
}

TEST_F(PlatformTest, StandardInputIsEmpty) {
    // A program reading its standard input must not hang on ours.
    EXPECT_EQ(platformRunAndWait("cat", false), 0);
    EXPECT_EQ(platformRunAndWait("read line; test -z \"$line\"", true), 0);
}

TEST_F(PlatformTest, DetachedStartLeavesNoZombie) {
    std::string file = temp.sub("detached.txt");
    ASSERT_TRUE(platformStartDetached(helperCommand("args " + file + " started").c_str()));
    ASSERT_TRUE(waitFor([&] { return kestrova_test::readLines(file).size() == 1; }));
    EXPECT_TRUE(waitFor([] { return !hasZombieChild(); }));
    EXPECT_FALSE(platformStartDetached("/nonexistent/program"));
    EXPECT_FALSE(platformStartDetached(nullptr));
}

TEST_F(PlatformTest, ProcessExistsAndKillByNameUseTheFullName) {
    std::string name = "KestrovaLongHelperName" + std::to_string(getpid());
    std::string copy = uniqueHelperCopy(temp, name);
    EXPECT_FALSE(platformProcessExists((name + ".exe").c_str()));
    pid_t first = platformStartProgram(("\"" + copy + "\" sleep 600000").c_str(), false);
    pid_t second = platformStartProgram(("\"" + copy + "\" sleep 600000").c_str(), false);
    ASSERT_GT(first, 0);
    ASSERT_GT(second, 0);
    ASSERT_TRUE(waitFor([&] { return platformProcessExists((name + ".exe").c_str()); }));
    EXPECT_TRUE(platformProcessExists(name.c_str()));
    // comm holds only the first 15 characters; that must not match.
    EXPECT_FALSE(platformProcessExists(name.substr(0, 15).c_str()));
    EXPECT_EQ(platformKillByName((name + ".exe").c_str()), 2);
    EXPECT_EQ(platformWaitProgram(first), 128 + SIGKILL);
    EXPECT_EQ(platformWaitProgram(second), 128 + SIGKILL);
    EXPECT_FALSE(platformProcessExists(name.c_str()));
    EXPECT_EQ(platformKillByName(name.c_str()), 0);
}

TEST_F(PlatformTest, KillByNameSparesTheCaller) {
    // A process that kills by its own name survives and counts only others.
    std::string name = "KestrovaSelfKiller" + std::to_string(getpid());
    std::string copy = uniqueHelperCopy(temp, name);
    EXPECT_EQ(platformRunAndWait(("\"" + copy + "\" killname " + name + ".exe").c_str(), false), 0);
}

// ---------------------------------------------------------------------------
// Two-process locks
// ---------------------------------------------------------------------------

TEST_F(PlatformTest, LockBetweenTwoProcessesHeldReleasedAndOwnerKilled) {
    // Helper "lock" uses getMutexLock, which prefixes the user name.
    std::string user = platformUserName();
    PlatformLock* mine = platformLockAcquire((user + "_Shared").c_str(), 0);
    ASSERT_NE(mine, nullptr);
    EXPECT_EQ(platformRunAndWait(helperCommand("lock Shared 50 -").c_str(), false), 3)
        << "held: not acquired";
    platformLockRelease(mine);
    EXPECT_EQ(platformRunAndWait(helperCommand("lock Shared 0 -").c_str(), false), 0)
        << "released: acquired";

    std::string mark = temp.sub("holding");
    pid_t holder = platformStartProgram(helperCommand("lock Shared 0 " + mark).c_str(), false);
    ASSERT_GT(holder, 0);
    ASSERT_TRUE(waitFor([&] { return access(mark.c_str(), F_OK) == 0; }));
    EXPECT_EQ(platformLockAcquire((user + "_Shared").c_str(), 0), nullptr);
    kill(holder, SIGKILL);
    EXPECT_EQ(platformWaitProgram(holder), 128 + SIGKILL);
    PlatformLock* after = platformLockAcquire((user + "_Shared").c_str(), 0);
    EXPECT_NE(after, nullptr) << "a dead owner releases the lock";
    platformLockRelease(after);
}

TEST_F(PlatformTest, ChildrenDoNotInheritLockDescriptors) {
    // A started program must not keep our lock alive after we release it.
    PlatformLock* lock = platformLockAcquire("u_inherit", 0);
    ASSERT_NE(lock, nullptr);
    pid_t child = platformStartProgram(helperCommand("sleep 600000").c_str(), false);
    ASSERT_GT(child, 0);
    platformLockRelease(lock);
    PlatformLock* again = platformLockAcquire("u_inherit", 0);
    EXPECT_NE(again, nullptr);
    platformLockRelease(again);
    kill(child, SIGKILL);
    platformWaitProgram(child);
}

// ---------------------------------------------------------------------------
// Random bytes
// ---------------------------------------------------------------------------

TEST_F(PlatformTest, RandomBytesFillTheBuffer) {
    unsigned char a[64] = {};
    unsigned char b[64] = {};
    ASSERT_TRUE(platformRandomBytes(a, sizeof a));
    ASSERT_TRUE(platformRandomBytes(b, sizeof b));
    EXPECT_NE(memcmp(a, b, sizeof a), 0);
    unsigned char zero[64] = {};
    EXPECT_NE(memcmp(a, zero, sizeof a), 0);
    EXPECT_FALSE(platformRandomBytes(nullptr, 4));
    EXPECT_TRUE(platformRandomBytes(a, 0));
}

// ---------------------------------------------------------------------------
// Port probe
// ---------------------------------------------------------------------------

namespace {

// Listening socket on address:0; returns the descriptor and the port.
int listenOn(const char* address, int& outPort) {
    bool six = strchr(address, ':') != nullptr;
    int fd = socket(six ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_storage storage{};
    socklen_t length;
    if (six) {
        int on = 1;
        setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
        auto* a = reinterpret_cast<sockaddr_in6*>(&storage);
        a->sin6_family = AF_INET6;
        inet_pton(AF_INET6, address, &a->sin6_addr);
        length = sizeof *a;
    } else {
        auto* a = reinterpret_cast<sockaddr_in*>(&storage);
        a->sin_family = AF_INET;
        inet_pton(AF_INET, address, &a->sin_addr);
        length = sizeof *a;
    }
    if (bind(fd, reinterpret_cast<sockaddr*>(&storage), length) != 0 || listen(fd, 4) != 0) {
        close(fd);
        return -1;
    }
    getsockname(fd, reinterpret_cast<sockaddr*>(&storage), &length);
    outPort = six ? ntohs(reinterpret_cast<sockaddr_in6*>(&storage)->sin6_port)
                  : ntohs(reinterpret_cast<sockaddr_in*>(&storage)->sin_port);
    return fd;
}

int connectTo(const char* address, int port) {
    bool six = strchr(address, ':') != nullptr;
    int fd = socket(six ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_storage storage{};
    socklen_t length;
    if (six) {
        auto* a = reinterpret_cast<sockaddr_in6*>(&storage);
        a->sin6_family = AF_INET6;
        a->sin6_port = htons(static_cast<uint16_t>(port));
        inet_pton(AF_INET6, address, &a->sin6_addr);
        length = sizeof *a;
    } else {
        auto* a = reinterpret_cast<sockaddr_in*>(&storage);
        a->sin_family = AF_INET;
        a->sin_port = htons(static_cast<uint16_t>(port));
        inet_pton(AF_INET, address, &a->sin_addr);
        length = sizeof *a;
    }
    if (connect(fd, reinterpret_cast<sockaddr*>(&storage), length) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

} // namespace

TEST_F(PlatformTest, PortProbeSeesListeningSocketsOnEachLoopback) {
    int port4 = 0;
    int listener4 = listenOn("127.0.0.1", port4);
    ASSERT_GE(listener4, 0);
    EXPECT_TRUE(platformLocalPortInUse(port4, false));

    int port6 = 0;
    int listener6 = listenOn("::1", port6);
    if (listener6 < 0)
        GTEST_SKIP() << "no IPv6 loopback";
    EXPECT_TRUE(platformLocalPortInUse(port6, true));
    // The address family decides: a port held only on ::1 is free on 127.0.0.1.
    if (kestrova_test::canBindTcp("127.0.0.1", port6)) {
        EXPECT_FALSE(platformLocalPortInUse(port6, false));
    }

    close(listener4);
    close(listener6);
    EXPECT_FALSE(platformLocalPortInUse(port4, false));
    EXPECT_FALSE(platformLocalPortInUse(port6, true));
}

TEST_F(PlatformTest, PortProbeSeesEstablishedConnectionsAfterTheListenerCloses) {
    int port = 0;
    int listener = listenOn("127.0.0.1", port);
    ASSERT_GE(listener, 0);
    int client = connectTo("127.0.0.1", port);
    ASSERT_GE(client, 0);
    int server = accept(listener, nullptr, nullptr);
    ASSERT_GE(server, 0);
    close(listener);
    EXPECT_TRUE(platformLocalPortInUse(port, false));
    close(client);
    close(server);
}

TEST_F(PlatformTest, PortProbeIgnoresWildcardAddressesAndBadPorts) {
    // Only the loopback endpoint text counts, as the callers expect.
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(listen(fd, 1), 0);
    socklen_t length = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length);
    EXPECT_FALSE(platformLocalPortInUse(ntohs(a.sin_port), false));
    close(fd);
    EXPECT_FALSE(platformLocalPortInUse(0, false));
    EXPECT_FALSE(platformLocalPortInUse(70000, false));
    EXPECT_FALSE(platformLocalPortInUse(-1, true));
}

TEST_F(PlatformTest, FreePortHelperGivesBindablePorts) {
    std::vector<int> ports = kestrova_test::findFreeTcpPorts(3);
    ASSERT_EQ(ports.size(), 3u);
    for (int port : ports) {
        EXPECT_TRUE(kestrova_test::canBindTcp("127.0.0.1", port));
        EXPECT_FALSE(platformLocalPortInUse(port, false));
    }
}

// ---------------------------------------------------------------------------
// Modules
// ---------------------------------------------------------------------------

TEST_F(PlatformTest, ModuleLoadSymbolAndFree) {
    std::string error;
    EXPECT_EQ(platformModuleLoad("/nonexistent/GpkiCardAdapter.so", &error), nullptr);
    EXPECT_NE(error.find("/nonexistent/GpkiCardAdapter.so"), std::string::npos) << error;
    EXPECT_EQ(platformModuleLoad(nullptr, &error), nullptr);

    void* module = platformModuleLoad("libm.so.6", &error);
    ASSERT_NE(module, nullptr) << error;
    EXPECT_TRUE(error.empty());
    EXPECT_NE(platformModuleSymbol(module, "cos", &error), nullptr);
    EXPECT_EQ(platformModuleSymbol(module, "noSuchEntryPoint", &error), nullptr);
    EXPECT_NE(error.find("noSuchEntryPoint"), std::string::npos) << error;
    EXPECT_TRUE(platformModuleFree(module, &error));
    EXPECT_TRUE(platformModuleFree(nullptr));
}

// ---------------------------------------------------------------------------
// The shared process helper of the tests
// ---------------------------------------------------------------------------

TEST_F(PlatformTest, ScopedProgramPassesEnvironmentAndKillsOnExit) {
    std::string out = temp.sub("out.txt");
    {
        kestrova_test::ScopedProgram shell({"/bin/sh", "-c", "echo \"$KESTROVA_PROBE\"; exit 3"},
                                           {{"KESTROVA_PROBE", "seen"}}, out);
        ASSERT_TRUE(shell.started());
        EXPECT_EQ(shell.wait(), 3);
    }
    EXPECT_EQ(kestrova_test::readFile(out), "seen\n");
    pid_t pid;
    {
        kestrova_test::ScopedProgram sleeper({kHelper, "sleep", "600000"});
        ASSERT_TRUE(sleeper.started());
        EXPECT_TRUE(sleeper.running());
        pid = sleeper.pid();
    }
    EXPECT_NE(kill(pid, 0), 0) << "killed and reaped when the object went";
    kestrova_test::ScopedProgram missing({"/nonexistent/program"});
    EXPECT_FALSE(missing.started());
}
