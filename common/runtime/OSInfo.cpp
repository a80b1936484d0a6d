// System identification as flag bits, and the names of the release bits.

#include "common/runtime/OSInfo.h"

#include "common/runtime/Tool.h"

#include <sys/utsname.h>

#include <cstring>

namespace {

struct ReleaseName {
    uint32_t bit;
    const char* name;
};

// In the order the lowest set bit is looked for.
const ReleaseName kReleaseNames[] = {
    {kOsWindowsXP, "WindowsXP"},
    {kOsWindowsXPx64, "WindowsXPx64"},
    {kOsWindowsServer2003, "WindowsServer2003"},
    {kOsWindowsHomeServer, "WindowsHomeServer"},
    {kOsWindowsServer2003R2, "WindowsServer2003R2"},
    {kOsWindowsVista, "WindowsVista"},
    {kOsWindowsServer2008, "WindowsServer2008"},
    {kOsWindowsServer2008R2, "WindowsServer2008R2"},
    {kOsWindows7, "Windows7"},
    {kOsWindowsServer2012, "WindowsServer2012"},
    {kOsWindows8, "Windows8"},
    {kOsWindowsServer2012R2, "WindowsServer2012R2"},
    {kOsWindows81, "Windows8.1"},
    {kOsWindowsServer2016, "WindowsServer2016"},
    {kOsWindows10, "Windows10"},
    {kOsWindows11, "Windows11"},
    {kOsLinux, "Linux"},
};

bool isMachine64(const char* machine) {
    static const char* const wide[] = {"x86_64",  "aarch64",     "arm64",   "ppc64",
                                       "ppc64le", "s390x",       "riscv64", "mips64",
                                       "sparc64", "loongarch64", "alpha",   "ia64"};
    for (const char* name : wide) {
        if (strcmp(machine, name) == 0)
            return true;
    }
    return false;
}

} // namespace

uint32_t classifyWindowsVersion(const WindowsVersionInfo& info) {
    const bool workstation = info.productType == kProductTypeWorkstation;
    const bool wideProcessor = info.processorArchitecture == kProcessorArchitectureAMD64 ||
                               info.processorArchitecture == kProcessorArchitectureIA64;
    uint32_t release = 0;
    switch (info.major) {
    case 5:
        if (info.minor == 1) {
            release = kOsWindowsXP;
        } else if (info.minor == 2) {
            if (workstation && info.processorArchitecture == kProcessorArchitectureAMD64)
                return kOsWindowsXPx64 | kOsArch64;
            if (info.serverR2Metric == 0)
                release = kOsWindowsServer2003;
            else if (info.suiteMask & kSuiteWindowsHomeServer)
                release = kOsWindowsHomeServer;
            else
                release = kOsWindowsServer2003R2;
        } else {
            return 0;
        }
        break;
    case 6:
        switch (info.minor) {
        case 0:
            release = workstation ? kOsWindowsVista : kOsWindowsServer2008;
            break;
        case 1:
            release = workstation ? kOsWindows7 : kOsWindowsServer2008R2;
            break;
        case 2:
            release = workstation ? kOsWindows8 : kOsWindowsServer2012;
            break;
        case 3:
            release = workstation ? kOsWindows81 : kOsWindowsServer2012R2;
            break;
        default:
            return 0;
        }
        break;
    case 10:
        if (info.minor != 0)
            return 0;
        if (!workstation)
            release = kOsWindowsServer2016;
        else
            release = info.build >= 22000 ? kOsWindows11 : kOsWindows10;
        break;
    default:
        return 0;
    }
    return release | (wideProcessor ? kOsArch64 : kOsArch32);
}

uint32_t identifyOS() {
    struct utsname names {};
    bool wide = sizeof(void*) == 8;
    if (uname(&names) == 0)
        wide = isMachine64(names.machine);
    return kOsLinux | (wide ? kOsArch64 : kOsArch32);
}

char* osName(uint32_t flags) {
    for (const ReleaseName& release : kReleaseNames) {
        if (flags & release.bit)
            return copyString(release.name);
    }
    return copyString("UnknowOS");
}
