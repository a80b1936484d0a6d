// The utility library and the OS identification.

#include "common/platform/Platform.h"
#include "common/runtime/OSInfo.h"
#include "common/runtime/Tool.h"
#include "tests/helpers/TestHelpers.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <vector>

using kestrova_test::ScopedEnv;
using kestrova_test::TempFolder;
using kestrova_test::writeFile;

namespace {

struct FreeText {
    void operator()(void* p) const { free(p); }
};
using Text = std::unique_ptr<char, FreeText>;

std::vector<std::string> listOf(char** list) {
    std::vector<std::string> items;
    for (size_t i = 0; list != nullptr && list[i] != nullptr; i++)
        items.push_back(list[i]);
    freeStringList(list);
    return items;
}

std::string str(const Text& text) {
    return text ? std::string(text.get()) : std::string("<null>");
}

} // namespace

// ---------------------------------------------------------------------------
// Versions
// ---------------------------------------------------------------------------

TEST(ToolTest, CompareVersionCases) {
    struct Case {
        const char* a;
        const char* b;
        int result;
    };
    const Case cases[] = {
        {"1.2.3", "1.2.10", -1},
        {"1.10", "1.9", 1},
        {" 1 . 2 ", "1.2", 0},
        {"1.2", "1.2.0", 3},
        {"1..2", "1.0.2", 61005},
        {"1.0.2", "1..2", 61005},
        {"1.2b", "1.2b", 0},
        {"1.2b", "1.2c", 2},
        {"1.x", "1.2", 2},
        {"1.2", "1.x", 2},
        {"-1.0", "0.0", -1},
        {"1.0.22.804", "1.0.22.0804", 0},
        {"1,0,22", "1.0.22", 0},
        {"1.0.23", "1.0.22.0804", 3},
        {"1.0.22.0805", "1.0.22.0804", 1},
        {"", "", 0},
        {"", "1.0.22.0804", 3},
        {"1.", "1.0", 61005},
        {"99999999999.0", "1.0", 2}, // out of range: not a number, compared as text
    };
    for (const Case& c : cases)
        EXPECT_EQ(compareVersion(c.a, c.b), c.result) << "'" << c.a << "' vs '" << c.b << "'";
    EXPECT_EQ(compareVersion(nullptr, "1"), 61001);
    EXPECT_EQ(compareVersion("1", nullptr), 61001);
    // Cut at 511 characters: the tail beyond does not count.
    std::string longA = std::string(511, '1') + "2";
    std::string longB = std::string(511, '1') + "3";
    EXPECT_EQ(compareVersion(longA.c_str(), longB.c_str()), 0);
}

// ---------------------------------------------------------------------------
// Strings
// ---------------------------------------------------------------------------

TEST(ToolTest, SplitStringCases) {
    struct Case {
        const char* text;
        const char* delimiter;
        std::vector<std::string> items;
    };
    const Case cases[] = {
        {"a,b", ",", {"a", "b"}},
        {"a,b,", ",", {"a", "b", ""}},
        {"a,,b", ",", {"a", "", "b"}},
        {",a", ",", {"", "a"}},
        {",", ",", {"", ""}},
        {"abc", ",", {"abc"}},
        {"", ",", {}},
        {"abc", "", {}},
        {"a::b::::c", "::", {"a", "b", "", "c"}},
        {"line1\nline2\n", "\n", {"line1", "line2", ""}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(listOf(splitString(c.text, c.delimiter)), c.items) << "'" << c.text << "'";
    EXPECT_EQ(listOf(splitString(nullptr, ",")), std::vector<std::string>{});
    EXPECT_EQ(listOf(splitString("a", nullptr)), std::vector<std::string>{});
    char** list = splitString("x,y,z", ",");
    EXPECT_EQ(stringListLength(list), 3u);
    freeStringList(list);
    freeStringList(nullptr);
}

TEST(ToolTest, StringHelpers) {
    EXPECT_EQ(str(Text(replaceAll("a.b.c", ".", ","))), "a,b,c");
    EXPECT_EQ(str(Text(replaceAll("aaa", "aa", "b"))), "ba");
    EXPECT_EQ(str(Text(replaceAll("abc", "b", nullptr))), "ac");
    EXPECT_EQ(str(Text(replaceAll("abc", "", "x"))), "abc");
    EXPECT_EQ(str(Text(replaceAll(nullptr, "a", "b"))), "<null>");
    EXPECT_EQ(str(Text(stripExeSuffix("ARDEQKestrova.exe"))), "ARDEQKestrova");
    EXPECT_EQ(str(Text(stripExeSuffix("A.EXE"))), "A.EXE");
    EXPECT_EQ(str(Text(stripExeSuffix("a.exe b.exe"))), "a b");

    EXPECT_TRUE(startsWith("localhost:", "localhost:56366"));
    EXPECT_FALSE(startsWith("localhost:", "localhost"));
    EXPECT_TRUE(startsWith(nullptr, "x"));
    EXPECT_TRUE(startsWith("", "x"));
    EXPECT_FALSE(startsWith("x", nullptr));

    EXPECT_EQ(str(Text(substring("abcdef", 1, 4))), "bcd");
    EXPECT_EQ(str(Text(substring("abcdef", 2, 2))), "");
    EXPECT_EQ(str(Text(substring("abcdef", 4, 2))), "<null>");
    EXPECT_EQ(str(Text(substring("abc", 1, 99))), "bc");
    EXPECT_EQ(str(Text(substring("abc", 5, 9))), "<null>");

    EXPECT_EQ(str(Text(toLowerCopy("AbC-\xC3\x84Z"))), "abc-\xC3\x84z");
    EXPECT_EQ(str(Text(toLowerCopy(nullptr))), "<null>");

    EXPECT_EQ(str(Text(padLeft("7", 2, '0'))), "07");
    EXPECT_EQ(str(Text(padLeft("12345", 16, ' '))), "           12345");
    EXPECT_EQ(str(Text(padLeft("12", 2, '0'))), "12");
    EXPECT_EQ(str(Text(padLeft("12345", 2, '0'))), "12345") << "a longer text stays whole";
    EXPECT_EQ(str(Text(padLeft("", 3, '*'))), "***");

    EXPECT_EQ(str(Text(copyString("x"))), "x");
    EXPECT_EQ(copyString(nullptr), nullptr);
    EXPECT_EQ(allocZeroed(0), nullptr);
    EXPECT_EQ(allocZeroed(2147483648u), nullptr);
    Text block(static_cast<char*>(allocZeroed(32)));
    ASSERT_NE(block, nullptr);
    for (int i = 0; i < 32; i++)
        EXPECT_EQ(block.get()[i], 0);
}

TEST(ToolTest, BoundedCopies) {
    char buffer[6];
    memset(buffer, 'Z', sizeof buffer);
    copyBounded(buffer, sizeof buffer, "abcdefgh");
    EXPECT_STREQ(buffer, "abcde");
    copyBounded(buffer, sizeof buffer, "ab");
    EXPECT_STREQ(buffer, "ab");
    copyBounded(buffer, sizeof buffer, nullptr);
    EXPECT_STREQ(buffer, "ab") << "null leaves the buffer";
    copyBounded(buffer, 1, "xyz");
    EXPECT_STREQ(buffer, "");
    takeBounded(buffer, sizeof buffer, copyString("secret-value"));
    EXPECT_STREQ(buffer, "secre");
    takeBounded(buffer, sizeof buffer, nullptr);

    char* secret = copyString("PIN1234");
    freeSecret(secret);
    freeSecret(nullptr);
    unsigned char key[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    secureWipe(key, sizeof key);
    for (unsigned char b : key)
        EXPECT_EQ(b, 0);
    secureWipe(nullptr, 4);
}

// ---------------------------------------------------------------------------
// Numbers and hex
// ---------------------------------------------------------------------------

TEST(ToolTest, StringToLongCases) {
    struct Case {
        const char* text;
        bool strict;
        long value;
        int error;
    };
    const Case cases[] = {
        {"12", true, 12, 0},
        {"-12", true, -12, 0},
        {"0804", true, 804, 0},
        {"12abc", true, 0, 61003},
        {"12abc", false, 12, 0},
        {"  42", false, 42, 0},
        {"  42", true, 0, 61003},
        {"+5", false, 5, 0},
        {"+5", true, 0, 61003},
        {"-", true, 0, 61003},
        {"", true, 0, 61003},
        {"", false, 0, 61003},
        {"abc", false, 0, 61003},
        {"2147483647", true, 2147483647L, 0},
        {"-2147483648", true, -2147483648L, 0},
        {"2147483648", true, 0, 61003},
        {"-2147483649", false, 0, 61003},
        {"99999999999999999999", false, 0, 61003},
        {nullptr, true, 0, 61004},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(stringToLong(c.text, c.strict), c.value)
            << (c.text ? c.text : "null") << " " << c.strict;
        EXPECT_EQ(lastConversionError(), c.error) << (c.text ? c.text : "null") << " " << c.strict;
        EXPECT_EQ(lastConversionFailed(), c.error != 0);
    }
}

TEST(ToolTest, HexToLongCases) {
    EXPECT_EQ(hexToLong("1F"), 31);
    EXPECT_FALSE(lastConversionFailed());
    EXPECT_EQ(hexToLong("7fffffff"), 2147483647L);
    EXPECT_EQ(hexToLong("-10"), -16);
    EXPECT_EQ(hexToLong("80000000"), 0);
    EXPECT_EQ(lastConversionError(), 61003);
    EXPECT_EQ(hexToLong("xyz"), 0);
    EXPECT_EQ(lastConversionError(), 61003);
    EXPECT_EQ(hexToLong(nullptr), 0);
    EXPECT_EQ(lastConversionError(), 61004);
}

TEST(ToolTest, HexToBytesAndBack) {
    struct Case {
        const char* hex;
        std::vector<unsigned char> bytes;
    };
    const Case cases[] = {
        {"00FF7fA0", {0x00, 0xFF, 0x7F, 0xA0}},
        {"abc", {0xAB}},        // odd last character ignored
        {"zz1g", {0x00, 0x10}}, // non-hex digits count as 0
        {"", {}},
    };
    for (const Case& c : cases) {
        size_t length = 99;
        std::unique_ptr<unsigned char, FreeText> bytes(hexToBytes(c.hex, &length));
        ASSERT_NE(bytes, nullptr);
        ASSERT_EQ(length, c.bytes.size()) << c.hex;
        EXPECT_EQ(std::vector<unsigned char>(bytes.get(), bytes.get() + length), c.bytes) << c.hex;
        EXPECT_EQ(bytes.get()[length], 0) << "terminating zero byte";
    }
    EXPECT_EQ(hexToBytes(nullptr), nullptr);

    unsigned char digest[64];
    for (int i = 0; i < 64; i++)
        digest[i] = static_cast<unsigned char>(i * 4 + 3);
    Text hex(bytesToHex(digest));
    ASSERT_NE(hex, nullptr);
    ASSERT_EQ(strlen(hex.get()), 128u);
    EXPECT_EQ(std::string(hex.get(), 8), "03070B0F");
    std::unique_ptr<unsigned char, FreeText> back(hexToBytes(hex.get()));
    EXPECT_EQ(memcmp(back.get(), digest, 64), 0);
    EXPECT_EQ(bytesToHex(nullptr), nullptr);
}

// ---------------------------------------------------------------------------
// Identifiers
// ---------------------------------------------------------------------------

TEST(ToolTest, SessionIdsHaveTheFormAndUseTheWholeAlphabet) {
    const std::regex form("[0-9A-Z]{8}_SID");
    std::set<std::string> ids;
    std::set<char> characters;
    for (int i = 0; i < 500; i++) {
        Text id(makeSessionId());
        ASSERT_NE(id, nullptr);
        ASSERT_TRUE(std::regex_match(id.get(), form)) << id.get();
        ids.insert(id.get());
        for (int k = 0; k < 8; k++)
            characters.insert(id.get()[k]);
    }
    EXPECT_EQ(ids.size(), 500u) << "identifiers repeat";
    EXPECT_EQ(characters.size(), 36u) << "4000 characters should cover all 36";
}

// ---------------------------------------------------------------------------
// Folders and files
// ---------------------------------------------------------------------------

TEST(ToolTest, FoldersFollowTheOverrides) {
    TempFolder temp("tool-test");
    ScopedEnv appdata("KESTROVA_COMMON_APPDATA", temp.path() + "/appdata");
    ScopedEnv sysconf("KESTROVA_SYSCONF_DIR", temp.path() + "/etc");
    ScopedEnv tmp("TMPDIR", temp.path() + "/tmp");
    ScopedEnv desktop("XDG_DESKTOP_DIR", temp.path() + "/Desk");

    EXPECT_EQ(str(Text(getCopyPath("ARDEQKestrova"))), temp.path() + "/appdata/ARDEQKestrova");
    EXPECT_EQ(str(Text(storedCopyPath())), temp.path() + "/appdata/ARDEQKestrova");
    EXPECT_EQ(str(Text(getCopyPath(nullptr))), temp.path() + "/appdata");
    EXPECT_EQ(str(Text(getWindowsFolder())), temp.path() + "/etc");
    EXPECT_EQ(str(Text(getUserTempPath())), temp.path() + "/tmp/");
    EXPECT_EQ(str(Text(getDesktopFolder())), temp.path() + "/Desk");
    EXPECT_EQ(str(Text(getModuleFolder())), platformExecutableFolder());
    EXPECT_EQ(str(Text(currentUserName())), platformUserName());
}

TEST(ToolTest, FileExistsCases) {
    TempFolder temp("tool-test");
    std::string file = temp.sub("present.txt");
    writeFile(file, "x");
    EXPECT_TRUE(fileExists(file.c_str()));
    EXPECT_FALSE(fileExists(temp.path().c_str())) << "folders count as absent";
    EXPECT_FALSE(fileExists((temp.path() + "/absent").c_str()));
    EXPECT_FALSE(fileExists((temp.path() + "/absent/deeper").c_str()));
    EXPECT_FALSE(fileExists((file + "/below-a-file").c_str()));
    EXPECT_FALSE(fileExists(nullptr));
}

TEST(ToolTest, TextFilesReadWriteAndFolders) {
    TempFolder temp("tool-test");
    std::string file = temp.sub("a.txt");
    writeFile(file, "one\r\ntwo\rthree\n");
    EXPECT_EQ(str(Text(readTextFile(file.c_str()))), "one\ntwo\rthree\n");
    writeFile(file, "");
    EXPECT_EQ(readTextFile(file.c_str()), nullptr) << "empty file";
    EXPECT_EQ(readTextFile((temp.path() + "/none").c_str()), nullptr);
    EXPECT_EQ(readTextFile(nullptr), nullptr);
    writeFile(file, std::string(100, 'x'));
    EXPECT_EQ(readTextFile(file.c_str(), 99), nullptr) << "over the cap";
    EXPECT_NE(Text(readTextFile(file.c_str(), 100)), nullptr);

    std::string settings = temp.path() + "/w/ARDEQKestrova.ini";
    EXPECT_FALSE(writeTextFile(settings.c_str(), "x")) << "folder missing";
    EXPECT_TRUE(createFoldersAlongPath(settings.c_str()));
    EXPECT_TRUE(std::filesystem::is_directory(temp.path() + "/w"));
    EXPECT_TRUE(writeTextFile(settings.c_str(), "[ARDEQKestrova]\nLog Level=5"));
    EXPECT_TRUE(writeTextFile(settings.c_str(), "short"));
    EXPECT_EQ(kestrova_test::readFile(settings), "short");
    EXPECT_FALSE(writeTextFile("", "x"));
    EXPECT_FALSE(writeTextFile(settings.c_str(), nullptr));

    EXPECT_TRUE(createFoldersAlongPath((temp.path() + "/d1/d2/d3/").c_str()));
    EXPECT_TRUE(std::filesystem::is_directory(temp.path() + "/d1/d2/d3"));
    EXPECT_TRUE(createFoldersAlongPath(""));
}

TEST(ToolTest, LocalTimeTextForm) {
    Text text(localTimeText());
    ASSERT_NE(text, nullptr);
    EXPECT_TRUE(std::regex_match(text.get(), std::regex(R"(\d{4}-\d\d-\d\d \d\d-\d\d-\d\d)")))
        << text.get();
}

// ---------------------------------------------------------------------------
// Locks, programs, ports
// ---------------------------------------------------------------------------

TEST(ToolTest, MutexLockIsPerUserAndExclusive) {
    TempFolder temp("tool-test");
    ScopedEnv runtime("KESTROVA_RUNTIME_DIR", temp.path() + "/run");
    MutexLock* lock = getMutexLock("ARDEQKestrovaMonitor.exe", 0);
    ASSERT_NE(lock, nullptr);
    EXPECT_TRUE(std::filesystem::exists(temp.path() + "/run/locks/" + platformUserName() +
                                        "_ARDEQKestrovaMonitor.exe"));
    EXPECT_EQ(getMutexLock("ARDEQKestrovaMonitor.exe", 20), nullptr);
    releaseMutexLock(lock);
    MutexLock* again = getMutexLock("ARDEQKestrovaMonitor.exe", 0);
    EXPECT_NE(again, nullptr);
    releaseMutexLock(again);
    releaseMutexLock(nullptr);
    EXPECT_EQ(getMutexLock(nullptr, 0), nullptr);
}

TEST(ToolTest, RunHiddenAndWaitAndDetachedStart) {
    TempFolder temp("tool-test");
    const std::string helper = KESTROVA_TEST_HELPER;
    EXPECT_EQ(runHiddenAndWait(nullptr, true), 1);
    EXPECT_EQ(runHiddenAndWait(("\"" + helper + "\" exit 9").c_str(), false), 9);
    EXPECT_EQ(runHiddenAndWait("exit 4", true), 4);
    EXPECT_EQ(runHiddenAndWait("/nonexistent/program", false), 0);
    std::string mark = temp.sub("mark");
    EXPECT_TRUE(hideNOWaitCommand(("\"" + helper + "\" args " + mark + " hello").c_str()));
    EXPECT_TRUE(kestrova_test::waitFor([&] { return kestrova_test::readFile(mark) == "hello\n"; }));
    EXPECT_FALSE(hideNOWaitCommand(nullptr));
}

TEST(ToolTest, LocalPortProbeUsesProc) {
    // The probe itself is covered against real sockets in the platform tests;
    // here: no result file is left anywhere and a free port reads as free.
    TempFolder temp("tool-test");
    ScopedEnv appdata("KESTROVA_COMMON_APPDATA", temp.path());
    int port = kestrova_test::findFreeTcpPort();
    ASSERT_NE(port, 0);
    EXPECT_FALSE(isLocalPortInUse(port, false));
    EXPECT_FALSE(isLocalPortInUse(port, true));
    EXPECT_TRUE(std::filesystem::is_empty(temp.path()));
}

// ---------------------------------------------------------------------------
// OS identification
// ---------------------------------------------------------------------------

TEST(OSInfoTest, WindowsReleaseTable) {
    const int ws = kProductTypeWorkstation;
    const int server = 3;
    const int x64 = kProcessorArchitectureAMD64;
    const int x86 = kProcessorArchitectureIntel;
    const int ia64 = kProcessorArchitectureIA64;
    struct Case {
        WindowsVersionInfo info;
        uint32_t flags;
        const char* name;
    };
    const Case cases[] = {
        {{5, 1, 2600, ws, 0, 0, x86}, kOsWindowsXP | kOsArch32, "WindowsXP"},
        {{5, 2, 3790, ws, 0, 0, x64}, kOsWindowsXPx64 | kOsArch64, "WindowsXPx64"},
        {{5, 2, 3790, ws, 0, 0, ia64}, kOsWindowsServer2003 | kOsArch64, "WindowsServer2003"},
        {{5, 2, 3790, server, 0, 0, x86}, kOsWindowsServer2003 | kOsArch32, "WindowsServer2003"},
        {{5, 2, 3790, server, 0x8000, 1, x86},
         kOsWindowsHomeServer | kOsArch32,
         "WindowsHomeServer"},
        {{5, 2, 3790, server, 0, 1, x64},
         kOsWindowsServer2003R2 | kOsArch64,
         "WindowsServer2003R2"},
        {{5, 0, 2195, ws, 0, 0, x86}, 0, "UnknowOS"},
        {{6, 0, 6002, ws, 0, 0, x86}, kOsWindowsVista | kOsArch32, "WindowsVista"},
        {{6, 0, 6002, server, 0, 0, x64}, kOsWindowsServer2008 | kOsArch64, "WindowsServer2008"},
        {{6, 1, 7601, ws, 0, 0, x64}, kOsWindows7 | kOsArch64, "Windows7"},
        {{6, 1, 7601, server, 0, 0, x64},
         kOsWindowsServer2008R2 | kOsArch64,
         "WindowsServer2008R2"},
        {{6, 2, 9200, ws, 0, 0, x64}, kOsWindows8 | kOsArch64, "Windows8"},
        {{6, 2, 9200, server, 0, 0, x64}, kOsWindowsServer2012 | kOsArch64, "WindowsServer2012"},
        {{6, 3, 9600, ws, 0, 0, x86}, kOsWindows81 | kOsArch32, "Windows8.1"},
        {{6, 3, 9600, server, 0, 0, x64},
         kOsWindowsServer2012R2 | kOsArch64,
         "WindowsServer2012R2"},
        {{6, 4, 9600, ws, 0, 0, x64}, 0, "UnknowOS"},
        {{10, 0, 19045, ws, 0, 0, x64}, 0x204000, "Windows10"},
        {{10, 0, 19045, ws, 0, 0, x86}, 0x104000, "Windows10"},
        {{10, 0, 21999, ws, 0, 0, x64}, kOsWindows10 | kOsArch64, "Windows10"},
        {{10, 0, 22000, ws, 0, 0, x64}, 0x208000, "Windows11"},
        {{10, 0, 26100, ws, 0, 0, x64}, 0x208000, "Windows11"},
        {{10, 0, 17763, server, 0, 0, x64},
         kOsWindowsServer2016 | kOsArch64,
         "WindowsServer2016"}, // 2019
        {{10, 0, 20348, 2, 0, 0, x64},
         kOsWindowsServer2016 | kOsArch64,
         "WindowsServer2016"}, // 2022 DC
        {{10, 1, 22000, ws, 0, 0, x64}, 0, "UnknowOS"},
        {{11, 0, 30000, ws, 0, 0, x64}, 0, "UnknowOS"},
        {{4, 0, 1381, ws, 0, 0, x86}, 0, "UnknowOS"},
    };
    for (const Case& c : cases) {
        uint32_t flags = classifyWindowsVersion(c.info);
        EXPECT_EQ(flags, c.flags) << c.name << " " << c.info.major << "." << c.info.minor << "."
                                  << c.info.build;
        EXPECT_EQ(str(Text(osName(flags))), c.name);
    }
}

TEST(OSInfoTest, LinuxIdentification) {
    uint32_t flags = identifyOS();
    EXPECT_EQ(flags & kOsLinux, kOsLinux);
    EXPECT_EQ(flags & ~(kOsLinux | kOsArch32 | kOsArch64), 0u);
    EXPECT_NE((flags & kOsArch64) != 0, (flags & kOsArch32) != 0) << "exactly one architecture bit";
#if defined(__x86_64__) || defined(__aarch64__)
    EXPECT_EQ(flags, 0x210000u);
#endif
    EXPECT_EQ(str(Text(osName(flags))), "Linux");
    EXPECT_EQ(str(Text(osName(0))), "UnknowOS");
    EXPECT_EQ(str(Text(osName(kOsArch64))), "UnknowOS");
    EXPECT_EQ(str(Text(osName(kOsWindows7 | kOsWindows10))), "Windows7") << "lowest bit wins";
}
