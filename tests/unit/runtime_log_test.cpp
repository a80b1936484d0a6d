// The log library and the program-level writers: settings reader, dated names
// and rotation, line format, two processes appending to one file, setLog's
// candidate folders, the tagged writers and the log switch thread.

#include "common/platform/Platform.h"
#include "common/runtime/Log.h"
#include "common/runtime/LogSwitch.h"
#include "common/runtime/QXLog.h"
#include "tests/helpers/TestHelpers.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <regex>
#include <string>

using kestrova_test::readFile;
using kestrova_test::readLines;
using kestrova_test::ScopedEnv;
using kestrova_test::TempFolder;
using kestrova_test::waitFor;
using kestrova_test::writeFile;

namespace {

const std::string kHelper = KESTROVA_TEST_HELPER;

struct tm dayOf(int year, int month, int day) {
    struct tm t {};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = 20;
    t.tm_min = 25;
    t.tm_sec = 58;
    return t;
}

// Every test starts from logging off, with its own folders.
class LogTest : public ::testing::Test {
  protected:
    TempFolder temp{"log-test"};
    ScopedEnv runtime{"KESTROVA_RUNTIME_DIR", temp.path() + "/run"};
    ScopedEnv sysconf{"KESTROVA_SYSCONF_DIR", temp.folder("etc")};
    ScopedEnv tmp{"TMPDIR", temp.folder("tmp")};
    ScopedEnv home{"HOME", temp.folder("home")};

    void SetUp() override {
        exchangeLogReady(false);
        QXLogResetForTesting();
        QXLogSetDefaultFileForTesting((temp.path() + "/QXLog.log").c_str());
    }
    void TearDown() override {
        stopLogSwitchThread();
        exchangeLogReady(false);
        QXLogResetForTesting();
    }

    // Settings file in folder with the given keys.
    std::string settings(const std::string& folder, const std::string& logFile,
                         const std::string& level, const std::string& maxSize = "") {
        std::string text = "[ARDEQKestrova]\nLog File=" + logFile + "\n";
        if (!maxSize.empty())
            text += "Log MaxSize=" + maxSize + "\n";
        text += "Log Level=" + level;
        std::string path = folder + "/ARDEQKestrova.ini";
        writeFile(path, text);
        return path;
    }
};

} // namespace

// ---------------------------------------------------------------------------
// Settings reader
// ---------------------------------------------------------------------------

TEST_F(LogTest, SettingsReaderCases) {
    struct Case {
        const char* name;
        const char* text;
        const char* section;
        const char* key;
        size_t size;
        int code;
        const char* value;
    };
    const Case cases[] = {
        {"plain", "[ARDEQKestrova]\nLog Level=5\n", "ARDEQKestrova", "Log Level", 16, 0, "5"},
        {"section in other case", "[ardeqkestrova]\nLog Level=5\n", "ARDEQKestrova", "Log Level",
         16, 0, "5"},
        {"key in capitals", "[ARDEQKestrova]\nLOG LEVEL=4\n", "ARDEQKestrova", "Log Level", 16, 0,
         "4"},
        {"blanks inside brackets", "  [  ARDEQKestrova  ]  \nLog Level=3\n", "ARDEQKestrova",
         "Log Level", 16, 0, "3"},
        {"leading blanks before key", "[ARDEQKestrova]\n   Log Level=2\n", "ARDEQKestrova",
         "Log Level", 16, 0, "2"},
        {"CRLF line ends", "[ARDEQKestrova]\r\nLog Level=5\r\n", "ARDEQKestrova", "Log Level", 16,
         0, "5"},
        {"value keeps leading blanks", "[ARDEQKestrova]\nLog File=  /x.log\n", "ARDEQKestrova",
         "Log File", 128, 0, "  /x.log"},
        {"double quotes", "[ARDEQKestrova]\nLog File= \"/a b.log\" \n", "ARDEQKestrova", "Log File",
         128, 0, "/a b.log"},
        {"single quotes", "[ARDEQKestrova]\nLog File='/a.log'\n", "ARDEQKestrova", "Log File", 128,
         0, "/a.log"},
        {"last closing mark", "[ARDEQKestrova]\nLog File=\"a\"b\"\n", "ARDEQKestrova", "Log File",
         128, 0, "a\"b"},
        {"opening mark alone", "[ARDEQKestrova]\nLog File=\"/a.log\n", "ARDEQKestrova", "Log File",
         128, 0, "\"/a.log"},
        {"first equals splits", "[ARDEQKestrova]\nLog File=/a=b.log\n", "ARDEQKestrova", "Log File",
         128, 0, "/a=b.log"},
        {"empty value", "[ARDEQKestrova]\nLog File=\n", "ARDEQKestrova", "Log File", 128, 0, ""},
        {"last line without line feed", "[ARDEQKestrova]\nLog Level=5", "ARDEQKestrova",
         "Log Level", 16, 0, "5"},
        {"other section first", "[Other]\nLog Level=1\n[ARDEQKestrova]\nLog Level=5\n",
         "ARDEQKestrova", "Log Level", 16, 0, "5"},
        {"no section", "[Other]\nLog Level=5\n", "ARDEQKestrova", "Log Level", 16, 102, ""},
        {"empty brackets match nothing", "[]\nLog Level=5\n", "", "Log Level", 16, 102, ""},
        {"header needs closing bracket last", "[ARDEQKestrova] x\nLog Level=5\n", "ARDEQKestrova",
         "Log Level", 16, 102, ""},
        {"blank before equals", "[ARDEQKestrova]\nLog Level =5\n", "ARDEQKestrova", "Log Level", 16,
         103, ""},
        {"comment", "[ARDEQKestrova]\n;Log Level=5\n", "ARDEQKestrova", "Log Level", 16, 103, ""},
        {"comment after blanks", "[ARDEQKestrova]\n  ; Log Level=5\n", "ARDEQKestrova", "Log Level",
         16, 103, ""},
        {"key in next section", "[ARDEQKestrova]\nLog File=/a\n[Next]\nLog Level=5\n",
         "ARDEQKestrova", "Log Level", 16, 103, ""},
        {"longer key does not match", "[ARDEQKestrova]\nLog Levels=5\n", "ARDEQKestrova",
         "Log Level", 16, 103, ""},
        {"line without equals", "[ARDEQKestrova]\nLog Level\n", "ARDEQKestrova", "Log Level", 16,
         103, ""},
        {"value cut", "[ARDEQKestrova]\nLog Level=0123456789ABCDEFGH\n", "ARDEQKestrova",
         "Log Level", 16, 104, "0123456789ABCDE"},
        {"value exactly fits", "[ARDEQKestrova]\nLog Level=0123456789ABCDE\n", "ARDEQKestrova",
         "Log Level", 16, 0, "0123456789ABCDE"},
    };
    for (const Case& c : cases) {
        std::string path = temp.sub("case.ini");
        writeFile(path, c.text);
        char buffer[256];
        memset(buffer, 'Z', sizeof buffer);
        EXPECT_EQ(QXLogReadSetting(c.section, c.key, buffer, c.size, path.c_str()), c.code)
            << c.name;
        EXPECT_STREQ(buffer, c.value) << c.name;
    }
    char buffer[16];
    EXPECT_EQ(QXLogReadSetting("ARDEQKestrova", "Log Level", buffer, sizeof buffer,
                               (temp.path() + "/missing.ini").c_str()),
              101);
}

TEST_F(LogTest, LongLineTailIsNotReadAsALineOfItsOwn) {
    // The tail of an over-long value must never be taken for a key line.
    std::string path = temp.sub("long.ini");
    // Read in pieces of 15 characters, "Log Level=5" would start a piece.
    writeFile(path, "[ARDEQKestrova]\nLog File=/aaaaaLog Level=5\n");
    char buffer[16];
    EXPECT_EQ(QXLogReadSetting("ARDEQKestrova", "Log Level", buffer, sizeof buffer, path.c_str()),
              103);
    writeFile(path, "[ARDEQKestrova]\nLog File=/" + std::string(300, 'a') + "\nLog Level=5\n");
    char file[128];
    EXPECT_EQ(QXLogReadSetting("ARDEQKestrova", "Log File", file, sizeof file, path.c_str()), 104);
    EXPECT_EQ(strlen(file), 127u);
    EXPECT_EQ(QXLogReadSetting("ARDEQKestrova", "Log Level", buffer, sizeof buffer, path.c_str()),
              0);
    EXPECT_STREQ(buffer, "5");
}

// ---------------------------------------------------------------------------
// Dated names
// ---------------------------------------------------------------------------

TEST_F(LogTest, DatedFileNames) {
    struct Case {
        const char* path;
        int counter;
        const char* name;
    };
    const Case cases[] = {
        {"/tmp/QXLog.log", 0, "/tmp/QXLog_20220829.log"},
        {"/tmp/QXLog.log", 1, "/tmp/QXLog_20220829_1.log"},
        {"/d/KestrovaLog/ARDEQKestrova.txt", 3, "/d/KestrovaLog/ARDEQKestrova_20220829_3.txt"},
        {"/d/a.b.c", 0, "/d/a.b_20220829.c"},
        {"/tmp/logfile", 0, "/tmp/logfile_20220829"},
        {"/tmp/logfile", 2, "/tmp/logfile_20220829_2"},
        // A full stop in a folder name is no extension.
        {"/home/u/.local/log", 0, "/home/u/.local/log_20220829"},
        {"/home/u/.local/log.txt", 0, "/home/u/.local/log_20220829.txt"},
    };
    for (const Case& c : cases) {
        char name[256];
        ASSERT_GE(QXLogComposeFileName(c.path, 2022, 8, 29, c.counter, name, sizeof name), 0);
        EXPECT_STREQ(name, c.name) << c.path << " " << c.counter;
    }
}

// ---------------------------------------------------------------------------
// Init and lines
// ---------------------------------------------------------------------------

TEST_F(LogTest, InitEnablesWritesDatedFileAndFormatsLines) {
    struct tm day = dayOf(2022, 8, 29);
    QXLogSetFixedTimeForTesting(&day);
    std::string log = temp.path() + "/out/QXLog.log";
    std::filesystem::create_directories(temp.path() + "/out");
    std::string ini = settings(temp.path(), log, "5");

    EXPECT_EQ(QXLogPrint(5, "before %d", 1), -2) << "nothing before init";
    EXPECT_EQ(QXLogInit("ARDEQKestrova", ini.c_str()), 0);
    EXPECT_EQ(QXLogInit("ARDEQKestrova", ini.c_str()), -1) << "already enabled";
    EXPECT_EQ(QXLogPrint(6, "too verbose"), -2);
    EXPECT_EQ(QXLogPrint(5, "value=%s", "x"), 0);
    EXPECT_EQ(QXLogPrint(1, "fatal"), 0);
    EXPECT_EQ(QXLogPrint(0, "untagged"), 0);

    std::vector<std::string> lines = readLines(temp.path() + "/out/QXLog_20220829.log");
    ASSERT_EQ(lines.size(), 4u);
    const std::string stamp = R"(2022-08-29 20:25:58\.\d{3} )";
    const std::string ids = R"( \[\d{5}-\d{5}\] )";
    EXPECT_TRUE(std::regex_match(
        lines[0], std::regex(stamp + R"(\[DEBUG\])" + ids + "Log Enable '" + ini + "'")))
        << lines[0];
    EXPECT_TRUE(std::regex_match(lines[1], std::regex(stamp + R"(\[DEBUG\])" + ids + "value=x")))
        << lines[1];
    EXPECT_TRUE(std::regex_match(lines[2], std::regex(stamp + R"(\[FATAL\])" + ids + "fatal")))
        << lines[2];
    EXPECT_TRUE(std::regex_match(lines[3], std::regex(stamp + ids + "untagged"))) << lines[3];
    EXPECT_EQ(readFile(temp.path() + "/out/QXLog_20220829.log").find('\r'), std::string::npos);

    QXLogSet(nullptr, 0);
    EXPECT_EQ(QXLogPrint(1, "off"), -2);
    EXPECT_EQ(readLines(temp.path() + "/out/QXLog_20220829.log").size(), 4u);
}

TEST_F(LogTest, LevelZeroEnablesButPassesNoProgramLine) {
    struct tm day = dayOf(2022, 8, 29);
    QXLogSetFixedTimeForTesting(&day);
    std::string ini = settings(temp.path(), temp.path() + "/z.log", "0");
    EXPECT_EQ(QXLogInit("ARDEQKestrova", ini.c_str()), 0);
    EXPECT_EQ(QXLogPrint(5, "program line"), -2);
    std::vector<std::string> lines = readLines(temp.path() + "/z_20220829.log");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(std::regex_search(lines[0], std::regex(R"(\.\d{3}  \[\d{5}-\d{5}\] Log Enable)")))
        << lines[0];
}

TEST_F(LogTest, InitResultCodesAndDefaults) {
    EXPECT_EQ(QXLogInit("ARDEQKestrova", (temp.path() + "/none.ini").c_str()), 101);
    std::string ini = temp.sub("nolevel.ini");
    writeFile(ini, "[ARDEQKestrova]\nLog File=/x.log\n");
    EXPECT_EQ(QXLogInit("ARDEQKestrova", ini.c_str()), 103);
    writeFile(ini, "[Other]\n");
    EXPECT_EQ(QXLogInit("ARDEQKestrova", ini.c_str()), 102);
    writeFile(ini, "[ARDEQKestrova]\nLog Level=12345678901234567\n");
    EXPECT_EQ(QXLogInit("ARDEQKestrova", ini.c_str()), 104);

    // An unreadable (too long) "Log File" falls back to the default path.
    char path[128];
    writeFile(ini, "[ARDEQKestrova]\nLog File=/" + std::string(200, 'a') + "\nLog Level=5\n");
    QXLogSetDefaultFileForTesting((temp.path() + "/default.log").c_str());
    EXPECT_EQ(QXLogInit("ARDEQKestrova", ini.c_str()), 0);
    QXLogFilePathForTesting(path, sizeof path);
    EXPECT_EQ(std::string(path), temp.path() + "/default.log");
    QXLogResetForTesting();
    QXLogFilePathForTesting(path, sizeof path);
    EXPECT_STREQ(path, "") << "reset";
}

TEST_F(LogTest, BareNameIsSearchedInSysconfThenHomeThenTmp) {
    std::string etc = getenv("KESTROVA_SYSCONF_DIR");
    std::string homeFolder = getenv("HOME");
    settings(homeFolder, temp.path() + "/home.log", "5");
    EXPECT_EQ(QXLogInit("ARDEQKestrova", "ARDEQKestrova.ini"), 0);
    char path[128];
    QXLogFilePathForTesting(path, sizeof path);
    EXPECT_EQ(std::string(path), temp.path() + "/home.log");

    QXLogResetForTesting();
    settings(etc, temp.path() + "/etc.log", "5");
    EXPECT_EQ(QXLogInit("ARDEQKestrova", "ARDEQKestrova.ini"), 0);
    QXLogFilePathForTesting(path, sizeof path);
    EXPECT_EQ(std::string(path), temp.path() + "/etc.log");
}

// ---------------------------------------------------------------------------
// Rotation
// ---------------------------------------------------------------------------

TEST_F(LogTest, SizeRotationMovesTheCounterAndKeepsItAcrossMidnight) {
    struct tm day = dayOf(2022, 8, 29);
    QXLogSetFixedTimeForTesting(&day);
    std::string ini = settings(temp.path(), temp.path() + "/r.log", "5", "200");
    ASSERT_EQ(QXLogInit("ARDEQKestrova", ini.c_str()), 0);
    std::string line(120, 'q');
    for (int i = 0; i < 6; i++)
        QXLogPrint(5, "%s", line.c_str());
    int counter = QXLogRotationCounterForTesting();
    EXPECT_GE(counter, 2);
    EXPECT_TRUE(std::filesystem::exists(temp.path() + "/r_20220829.log"));
    EXPECT_TRUE(std::filesystem::exists(temp.path() + "/r_20220829_1.log"));
    // No file grows past the maximum by more than one line.
    for (const auto& entry : std::filesystem::directory_iterator(temp.path())) {
        if (entry.path().filename().string().rfind("r_", 0) == 0) {
            EXPECT_LE(entry.file_size(), 200u + 250u) << entry.path();
        }
    }
    // Deleted while in use: the next line creates it again.
    std::string current = temp.path() + "/r_20220829_" + std::to_string(counter) + ".log";
    std::filesystem::remove(current);
    QXLogPrint(5, "after delete");
    EXPECT_TRUE(std::filesystem::exists(current));

    struct tm next = dayOf(2022, 8, 30);
    QXLogSetFixedTimeForTesting(&next);
    QXLogPrint(5, "next day");
    EXPECT_EQ(QXLogRotationCounterForTesting(), counter) << "never reset";
    EXPECT_TRUE(
        std::filesystem::exists(temp.path() + "/r_20220830_" + std::to_string(counter) + ".log"));
}

TEST_F(LogTest, PathWithoutFullStopRotatesAndEnds) {
    struct tm day = dayOf(2022, 8, 29);
    QXLogSetFixedTimeForTesting(&day);
    std::string ini = settings(temp.path(), temp.path() + "/plain", "5", "50");
    ASSERT_EQ(QXLogInit("ARDEQKestrova", ini.c_str()), 0);
    for (int i = 0; i < 4; i++)
        EXPECT_EQ(QXLogPrint(5, "%s", std::string(80, 'p').c_str()), 0);
    EXPECT_TRUE(std::filesystem::exists(temp.path() + "/plain_20220829"));
    EXPECT_TRUE(std::filesystem::exists(temp.path() + "/plain_20220829_1"));
    EXPECT_GE(QXLogRotationCounterForTesting(), 3);
}

TEST_F(LogTest, TwoProcessesAppendWithoutInterleavedLines) {
    std::string ini = settings(temp.path(), temp.path() + "/shared.log", "5");
    const int count = 400;
    pid_t a = platformStartProgram(
        ("\"" + kHelper + "\" log " + ini + " " + std::to_string(count) + " A").c_str(), false);
    pid_t b = platformStartProgram(
        ("\"" + kHelper + "\" log " + ini + " " + std::to_string(count) + " B").c_str(), false);
    ASSERT_GT(a, 0);
    ASSERT_GT(b, 0);
    EXPECT_EQ(platformWaitProgram(a), 0);
    EXPECT_EQ(platformWaitProgram(b), 0);

    size_t lines = 0;
    int seenA = 0;
    int seenB = 0;
    const std::regex shape(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \[DEBUG\] \[\d{5}-\d{5}\] )"
                           R"((Log Enable '.*'|writer=([AB]) index=\d+ payload=x{600} end))");
    for (const auto& entry : std::filesystem::directory_iterator(temp.path())) {
        std::string name = entry.path().filename();
        if (name.rfind("shared_", 0) != 0)
            continue;
        for (const std::string& line : readLines(entry.path())) {
            std::smatch match;
            ASSERT_TRUE(std::regex_match(line, match, shape)) << line.substr(0, 200);
            lines++;
            if (match[2] == "A")
                seenA++;
            if (match[2] == "B")
                seenB++;
        }
    }
    EXPECT_EQ(seenA, count);
    EXPECT_EQ(seenB, count);
    EXPECT_EQ(lines, static_cast<size_t>(2 * count + 2));
}

TEST_F(LogTest, ManyThreadsWriteWholeLines) {
    std::string ini = settings(temp.path(), temp.path() + "/threads.log", "5");
    ASSERT_EQ(QXLogInit("ARDEQKestrova", ini.c_str()), 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++) {
        threads.emplace_back([t] {
            for (int i = 0; i < 100; i++)
                QXLogPrint(5, "thread=%d index=%d %s end", t, i, std::string(300, 't').c_str());
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    size_t lines = 0;
    for (const auto& entry : std::filesystem::directory_iterator(temp.path())) {
        if (entry.path().filename().string().rfind("threads_", 0) != 0)
            continue;
        for (const std::string& line : readLines(entry.path())) {
            if (line.find("Log Enable") != std::string::npos)
                continue;
            EXPECT_TRUE(
                std::regex_search(line, std::regex(R"(\] thread=\d index=\d+ t{300} end$)")))
                << line;
            lines++;
        }
    }
    EXPECT_EQ(lines, 400u);
}

// ---------------------------------------------------------------------------
// setLog and the tagged writers
// ---------------------------------------------------------------------------

namespace {

std::string todaysLog(const std::string& folder, const std::string& stem,
                      const std::string& extension) {
    time_t now = time(nullptr);
    struct tm local {};
    localtime_r(&now, &local);
    char date[32];
    snprintf(date, sizeof date, "_%04d%02d%02d", local.tm_year + 1900, local.tm_mon + 1,
             local.tm_mday);
    return folder + "/" + stem + date + extension;
}

} // namespace

TEST_F(LogTest, SetLogPrefersSysconfOverTempAndWritesTaggedLines) {
    struct tm day = dayOf(2022, 8, 29);
    QXLogSetFixedTimeForTesting(&day);
    std::string tmpFolder = getenv("TMPDIR");
    std::string etc = getenv("KESTROVA_SYSCONF_DIR");
    settings(tmpFolder, temp.path() + "/fromtemp.log", "5");
    EXPECT_FALSE(isLogReady());
    logNormal("not yet: ", "nothing");
    EXPECT_TRUE(setLog("ARDEQKestrova"));
    std::string fromTemp = temp.path() + "/fromtemp_20220829.log";
    ASSERT_TRUE(std::filesystem::exists(fromTemp));

    exchangeLogReady(false);
    QXLogResetForTesting();
    QXLogSetFixedTimeForTesting(&day);
    settings(etc, temp.path() + "/frometc.log", "5");
    EXPECT_FALSE(setLog(nullptr));
    EXPECT_TRUE(setLog("ARDEQKestrova"));
    EXPECT_TRUE(setLog("Ignored")) << "ready: nothing read again";

    logNormal("Log label: ", "value");
    logNormalNumber("Number: ", -42);
    logError("Error label: ", nullptr);
    logErrorNumber("Code: ", 61001);
    logWarning("Warn: ", "w");
    logWarningNumber("WarnN: ", 7);
    logNormalWide("Wide: ", "\xED\x95\x9C");
    logPlain("plain ", "text");
    logExistence("File: ", true);
    logExistence("File: ", false);
    logChoice("Choice: ", false, "yes", "no");
    logNullParameter("inputPath", "/src/common/runtime/Tool.cpp", 12);
    logAllocationFailure("/src/x/Json.cpp", 99);
    logSeparator();

    std::vector<std::string> lines = readLines(temp.path() + "/frometc_20220829.log");
    std::vector<std::string> messages;
    const std::regex head(R"(^\S+ \S+ (?:\[[A-Z ]{5}\])? \[\d{5}-\d{5}\] (.*)$)");
    for (const std::string& line : lines) {
        std::smatch match;
        ASSERT_TRUE(std::regex_match(line, match, head)) << line;
        messages.push_back(match[1]);
    }
    ASSERT_GE(messages.size(), 3u);
    EXPECT_EQ(messages[0], "Log Enable '" + etc + "/ARDEQKestrova.ini'");
    EXPECT_TRUE(std::regex_match(
        messages[1],
        std::regex(R"(Log\.cpp \d+ setLog Compile Time : \w{3} [ \d]\d \d{4} \d\d:\d\d:\d\d)")))
        << messages[1];
    const std::vector<std::string> expected = {
        "[ARDEQKestrova][Normal] Log state: Enable",
        "[ARDEQKestrova][Normal] Log label: value",
        "[ARDEQKestrova][Normal] Number: -42",
        "[ARDEQKestrova][Error] Error label: ",
        "[ARDEQKestrova][Error] Code: 61001",
        "[ARDEQKestrova][Warning] Warn: w",
        "[ARDEQKestrova][Warning] WarnN: 7",
        "[ARDEQKestrova][Normal] Wide: \xED\x95\x9C",
        "plain text",
        "[ARDEQKestrova][Normal] File: Exist",
        "[ARDEQKestrova][Error] File: Not Exist",
        "[ARDEQKestrova][Normal] Choice: no",
        "[ARDEQKestrova][Warning] Parameter inputPath is null at Tool.cpp 12",
        "[ARDEQKestrova][Error] Memory allocate fail at file: Json.cpp",
        "[ARDEQKestrova][Error] Memory allocate fail at line: 99",
        std::string(79, '='),
    };
    ASSERT_EQ(messages.size(), 2 + expected.size());
    for (size_t i = 0; i < expected.size(); i++)
        EXPECT_EQ(messages[2 + i], expected[i]);
}

TEST_F(LogTest, SetLogWithoutSettingsFileStaysOff) {
    EXPECT_FALSE(setLog("ARDEQKestrova"));
    EXPECT_FALSE(isLogReady());
    logNormal("a", "b");
    EXPECT_EQ(QXLogPrint(0, "x"), -2);
}

// ---------------------------------------------------------------------------
// Log switch thread
// ---------------------------------------------------------------------------

TEST_F(LogTest, LogSwitchThreadNeedsTheEvent) {
    EXPECT_EQ(startLogSwitchThread("ARDEQKestrova", false), ENOENT);
}

TEST_F(LogTest, LogSwitchThreadTogglesOnEachPulse) {
    std::string tmpFolder = getenv("TMPDIR");
    std::string log = temp.path() + "/switch.txt";
    settings(tmpFolder, log, "5");
    // The monitor creates the event; the programs only open it.
    PlatformEvent* event = platformEventCreate(kDebugStatusEventName);
    ASSERT_NE(event, nullptr);
    ASSERT_EQ(startLogSwitchThread("ARDEQKestrova", false), 0);
    EXPECT_EQ(startLogSwitchThread("ARDEQKestrova", false), EBUSY);

    ASSERT_TRUE(platformEventPulse(event));
    ASSERT_TRUE(waitFor([] { return isLogReady(); }));
    logNormal("Marker: ", "on");

    ASSERT_TRUE(platformEventPulse(event));
    ASSERT_TRUE(waitFor([] { return !isLogReady(); }));
    logNormal("Marker: ", "should not appear");

    ASSERT_TRUE(platformEventPulse(event));
    ASSERT_TRUE(waitFor([] { return isLogReady(); }));
    stopLogSwitchThread();
    platformEventClose(event);

    std::string text = readFile(todaysLog(temp.path(), "switch", ".txt"));
    EXPECT_NE(text.find("[ARDEQKestrova][Normal] Marker: on"), std::string::npos);
    EXPECT_NE(text.find("[ARDEQKestrova][Normal] Log state: Disable"), std::string::npos);
    EXPECT_EQ(text.find("should not appear"), std::string::npos);
}
