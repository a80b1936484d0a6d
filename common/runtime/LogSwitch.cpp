// The log switch thread: one per process, toggling logging on each pulse of
// the debug-mode event.

#include "common/runtime/LogSwitch.h"

#include "common/platform/Platform.h"
#include "common/runtime/Log.h"
#include "common/runtime/QXLog.h"

#include <atomic>
#include <cerrno>
#include <ctime>
#include <mutex>
#include <string>
#include <thread>

namespace {

// The wait wakes this often to see whether it should stop.
constexpr int kStopPollMilliseconds = 200;

struct LogSwitchState {
    std::mutex mutex; // guards start and stop
    std::thread thread;
    std::atomic<bool> stop{false};
    PlatformEvent* event = nullptr;
    std::string prefix;
    bool loggingOn = false;
};

LogSwitchState gw;

void sleepMilliseconds(long milliseconds) {
    struct timespec delay {};
    delay.tv_sec = milliseconds / 1000;
    delay.tv_nsec = (milliseconds % 1000) * 1000000L;
    while (nanosleep(&delay, &delay) != 0 && errno == EINTR) {
    }
}

void toggle() {
    if (!gw.loggingOn) {
        setLog(gw.prefix.c_str());
        gw.loggingOn = true;
    } else {
        logNormal("Log state: ", "Disable");
        exchangeLogReady(false);
        QXLogSet(nullptr, 0);
        gw.loggingOn = false;
    }
}

void switchLoop() noexcept {
    try {
        while (!gw.stop.load()) {
            int result = platformEventWait(gw.event, kStopPollMilliseconds);
            if (result == 0)
                continue;
            if (result < 0) {
                // The event file went away (the monitor was reset); watch the
                // new one as soon as it is there again.
                platformEventClose(gw.event);
                gw.event = nullptr;
                while (gw.event == nullptr && !gw.stop.load()) {
                    sleepMilliseconds(kStopPollMilliseconds);
                    gw.event = platformEventOpen(kDebugStatusEventName);
                }
                continue;
            }
            toggle();
            sleepMilliseconds(100);
        }
    } catch (...) {
        logError("Log switch thread: ", "stopped by an exception");
    }
}

} // namespace

int startLogSwitchThread(const char* prefix, bool initialState) {
    std::lock_guard<std::mutex> hold(gw.mutex);
    if (gw.thread.joinable())
        return EBUSY;
    int error = 0;
    PlatformEvent* event = platformEventOpen(kDebugStatusEventName, &error);
    if (event == nullptr)
        return error != 0 ? error : ENOENT;
    try {
        gw.prefix = prefix != nullptr ? prefix : "";
        gw.loggingOn = initialState;
        gw.event = event;
        gw.stop.store(false);
        gw.thread = std::thread(switchLoop);
    } catch (...) {
        platformEventClose(event);
        gw.event = nullptr;
        return EAGAIN;
    }
    return 0;
}

void stopLogSwitchThread() {
    std::lock_guard<std::mutex> hold(gw.mutex);
    if (!gw.thread.joinable())
        return;
    gw.stop.store(true);
    gw.thread.join();
    platformEventClose(gw.event);
    gw.event = nullptr;
}
