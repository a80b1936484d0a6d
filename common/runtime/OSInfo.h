#pragma once
// Identification of the system the programs run on, as flag bits: one release
// bit and one processor-width bit. The Windows classifier is kept as a pure
// function of the version numbers so the release table stays tested; on Linux
// identifyOS reports the Linux release bit.

#include <cstdint>

constexpr uint32_t kOsWindowsXP = 0x1;
constexpr uint32_t kOsWindowsXPx64 = 0x2;
constexpr uint32_t kOsWindowsServer2003 = 0x4;
constexpr uint32_t kOsWindowsHomeServer = 0x8;
constexpr uint32_t kOsWindowsServer2003R2 = 0x10;
constexpr uint32_t kOsWindowsVista = 0x20;
constexpr uint32_t kOsWindowsServer2008 = 0x40;
constexpr uint32_t kOsWindowsServer2008R2 = 0x80;
constexpr uint32_t kOsWindows7 = 0x100;
constexpr uint32_t kOsWindowsServer2012 = 0x200;
constexpr uint32_t kOsWindows8 = 0x400;
constexpr uint32_t kOsWindowsServer2012R2 = 0x800;
constexpr uint32_t kOsWindows81 = 0x1000;
constexpr uint32_t kOsWindowsServer2016 = 0x2000;
constexpr uint32_t kOsWindows10 = 0x4000;
constexpr uint32_t kOsWindows11 = 0x8000;
constexpr uint32_t kOsLinux = 0x10000;
constexpr uint32_t kOsArch32 = 0x100000;
constexpr uint32_t kOsArch64 = 0x200000;

// Processor architecture numbers as the Windows system information gives them.
constexpr int kProcessorArchitectureIntel = 0;
constexpr int kProcessorArchitectureIA64 = 6;
constexpr int kProcessorArchitectureAMD64 = 9;

// Product type 1 is the workstation type; every other counts as server.
constexpr int kProductTypeWorkstation = 1;
constexpr uint32_t kSuiteWindowsHomeServer = 0x8000;

struct WindowsVersionInfo {
    unsigned major;
    unsigned minor;
    unsigned build;
    int productType; // kProductTypeWorkstation or other
    uint32_t suiteMask;
    int serverR2Metric;        // the system metric that marks Server 2003 R2
    int processorArchitecture; // kProcessorArchitecture*
};

// Release bit plus architecture bit for the given numbers; 0 when the release
// is not recognised.
uint32_t classifyWindowsVersion(const WindowsVersionInfo& info);

// On Linux: kOsLinux plus kOsArch64 or kOsArch32 after the running machine.
uint32_t identifyOS();

// New text: the name of the lowest release bit set ("Windows10", "Linux"...),
// "UnknowOS" when none is. Null only when memory fails.
char* osName(uint32_t flags);
