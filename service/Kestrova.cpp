// ARDEQKestrova: the local HTTPS signing service. Prepares paths and log,
// writes the banner, starts the session module, loads the TLS credentials,
// starts the listener set and runs until the final function is called.

#include "common/runtime/Log.h"
#include "common/runtime/LogSwitch.h"
#include "common/runtime/OSInfo.h"
#include "common/runtime/QXLog.h"
#include "common/runtime/Tool.h"
#include "service/Kestrova.h"
#include "service/Key.h"
#include "service/Listener.h"
#include "service/QXWhiteBoxUtilCore.h"
#include "service/ServiceState.h"
#include "service/session/KestrovaSession.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#ifndef KESTROVA_GIT_TIME
#define KESTROVA_GIT_TIME "unknown"
#endif

namespace {

constexpr const char* kProgramName = "ARDEQKestrova";
constexpr const char* kBannerLine =
    "*************************************Kestrova*********************************";
constexpr size_t kPathLimit = 260;

struct StartupState {
    ListenerSet listeners;
    int ports[kListenerPorts] = {0, 0, 0};
    bool logSwitchRunning = false;
};
StartupState gStartup;

std::string boundedPath(char* heapText)
{
    std::string path = heapText ? heapText : "";
    free(heapText);
    if (path.size() > kPathLimit - 1)
        path.resize(kPathLimit - 1);
    return path;
}

// The console stop (SIGTERM, SIGINT) arrives here, on a thread of its own,
// and is handled like the instruction to end the service: the final
// function runs outside any signal handler, so it may lock, log and unload.
void* signalWatcher(void* argument) noexcept
{
    auto* signals = static_cast<sigset_t*>(argument);
    bool stopping = false;
    for (;;) {
        int signalNumber = 0;
        if (sigwait(signals, &signalNumber) != 0)
            continue;
        if (stopping) // a second stop while the first is still running: end now
            _exit(128 + signalNumber);
        stopping = true;
        logNormalNumber("[KestrovaFinal] Stop signal: ", signalNumber);
        if (gService.finalFunction)
            gService.finalFunction();
        else
            gService.stopFlag.store(1);
    }
    return nullptr;
}

bool startSignalWatcher()
{
    static sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    // Blocked before any other thread exists, so every thread inherits the
    // mask and sigwait is the only taker.
    if (pthread_sigmask(SIG_BLOCK, &signals, nullptr) != 0)
        return false;
    pthread_t thread;
    if (pthread_create(&thread, nullptr, signalWatcher, &signals) != 0)
        return false;
    pthread_detach(thread);
    return true;
}

void writeCrashLines(const char* commandLine)
{
    if (!commandLine || strnlen(commandLine, 64) == 0 || strcmp(commandLine, "0") == 0)
        return;
    logSeparator();
    logWarning("Detected Kestrova crash", "");
    logSeparator();
}

void writeEnvironmentLine()
{
    uint32_t flags = identifyOS();
    if (flags == 0)
        return;
    char text[512] = "";
    takeBounded(text, sizeof text, osName(flags));
    size_t used = strlen(text);
    snprintf(text + used, sizeof text - used, " %s", (flags & kOsArch64) ? "64 bit" : "32 bit");
    logNormal("Environment: ", text);
}

void readPorts()
{
    const char* list = getenv("KESTROVA_PORTS");
    if (list && *list && !readPortList(list, gStartup.ports)) {
        logWarning("Port list error: ", list);
        list = nullptr;
    }
    if (!list || !*list)
        readPortList(kPortList, gStartup.ports);
    char text[64];
    snprintf(text, sizeof text, "%d %d %d", gStartup.ports[0], gStartup.ports[1],
             gStartup.ports[2]);
    logNormal("Support port: ", text);
}

// Start-up until the listeners run; false when the service cannot serve.
bool startService(const char* commandLine)
{
    gService.copyPath = boundedPath(getCopyPath(kProgramName));
    if (gService.copyPath.empty()) {
        logError("Extract copy path: ", "Fail");
        return false;
    }

    bool loggingState = setLog(kProgramName);
    if (isLogReady())
        QXLogPrint(5, "%s", kBannerLine);
    logNormal("Execute setting: ", "ARDEQ");
    logNormal("Compile time: ", __DATE__ " " __TIME__);
    logNormal("Git time: ", KESTROVA_GIT_TIME);
    writeCrashLines(commandLine);
    writeEnvironmentLine();

    gService.processId = static_cast<uint32_t>(getpid());
    gService.finalFunction = finalFunction;

    gService.executePath = boundedPath(getModuleFolder());
    if (gService.executePath.empty()) {
        logError("Extract execute path: ", "Fail");
        return false;
    }
    logNormalWide("CopyPath: ", gService.copyPath.c_str());
    logNormalWide("Execute path: ", gService.executePath.c_str());

    readPorts();

    // The message receiver through which the monitor and the worker control
    // the service starts here once the message channel module exists; until
    // then the console stop (signals) is the only way to end the service.

    char* name = replaceAll("ARDEQKestrova.exe", ".exe", "");
    gService.copyPath = boundedPath(getCopyPath(name ? name : kProgramName));
    free(name);

    startSessionModule();

    logNormal("Kestrova Version: ", kKestrovaVersion);

    char* certificate = getServerCertificate();
    if (!certificate) {
        KESTROVA_ALLOC_FAIL();
        return false;
    }
    char* key = getServerPrivateKey();
    if (!key) {
        KESTROVA_ALLOC_FAIL();
        free(certificate);
        return false;
    }
    char* priorities = buildPriorityString();
    if (priorities)
        startListeners(gStartup.listeners, gStartup.ports, certificate, key, priorities);
    else
        KESTROVA_ALLOC_FAIL();
    free(priorities);

    // The listeners hold their own copies of the credentials from here on.
    char* keyBlock = key;
    QXWhiteBoxResultFinal(&key);
    free(keyBlock);
    free(certificate);

    logNormal("", "HTTPS Mode");
    if (gStartup.listeners.count == 0) {
        logWarning("ARDEQKestrova initialization: ", "Fail");
        return false;
    }
    logNormal("ARDEQKestrova initialization: ", "Success");

    int eventError = startLogSwitchThread(kProgramName, loggingState);
    if (eventError != 0)
        logErrorNumber("Kestrova debugStatusUpdateEvent init failed. ", eventError);
    else
        gStartup.logSwitchRunning = true;
    logSeparator();
    return true;
}

void stopService()
{
    stopListeners(gStartup.listeners);
    if (gStartup.logSwitchRunning) {
        stopLogSwitchThread();
        gStartup.logSwitchRunning = false;
    }
    gService.copyPath.clear();
    gService.executePath.clear();
}

} // namespace

void finalFunction()
{
    releaseAllAdapters();
    logNormal("[KestrovaFinal] ", "Release adapters success");
    logNormal("[KestrovaFinal] ", "Ready to suicide");
    gService.stopFlag.store(1);
}

int kestrovaMain(const char* commandLine)
{
    if (startService(commandLine)) {
        while (gService.stopFlag.load() == 0)
            usleep(100 * 1000);
    }
    stopService();
    return 0;
}

int main(int argc, char** argv)
{
    // Peers that vanish mid-answer must not end the process.
    signal(SIGPIPE, SIG_IGN);
    if (!startSignalWatcher())
        fprintf(stderr, "ARDEQKestrova: cannot watch the stop signals\n");

    // The system's command line: the arguments after the program name.
    std::string commandLine;
    for (int i = 1; i < argc; ++i) {
        if (i > 1)
            commandLine += ' ';
        commandLine += argv[i];
    }
    return kestrovaMain(commandLine.c_str());
}
