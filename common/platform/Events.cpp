// Named events as files watched with inotify. A pulse is one open-for-writing
// and close of the file; every watcher sees one IN_CLOSE_WRITE for it.

#include "common/platform/Platform.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

struct PlatformEvent {
    std::string path;
    int inotify;
    int watch;
};

namespace {

std::string eventPath(const char* name, int* outError) {
    if (name == nullptr || name[0] == '\0' || strchr(name, '/') != nullptr ||
        strcmp(name, ".") == 0 || strcmp(name, "..") == 0) {
        if (outError != nullptr)
            *outError = EINVAL;
        return "";
    }
    int error = 0;
    std::string folder = platformRuntimeSubfolder("events", &error);
    if (folder.empty()) {
        if (outError != nullptr)
            *outError = error != 0 ? error : EACCES;
        return "";
    }
    return folder + "/" + name;
}

// The watch is made before the handle is returned, so no pulse that follows
// can be missed by the first wait.
PlatformEvent* watchEvent(const std::string& path, int* outError) {
    int notify = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (notify < 0) {
        if (outError != nullptr)
            *outError = errno;
        return nullptr;
    }
    int watch =
        inotify_add_watch(notify, path.c_str(), IN_CLOSE_WRITE | IN_DELETE_SELF | IN_MOVE_SELF);
    if (watch < 0) {
        if (outError != nullptr)
            *outError = errno;
        close(notify);
        return nullptr;
    }
    PlatformEvent* event = new (std::nothrow) PlatformEvent{path, notify, watch};
    if (event == nullptr) {
        if (outError != nullptr)
            *outError = ENOMEM;
        close(notify);
    }
    return event;
}

} // namespace

PlatformEvent* platformEventCreate(const char* name, int* outError) {
    if (outError != nullptr)
        *outError = 0;
    std::string path = eventPath(name, outError);
    if (path.empty())
        return nullptr;
    // Read-only creation: a close after writing would count as a pulse.
    int descriptor = open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (descriptor < 0) {
        if (outError != nullptr)
            *outError = errno;
        return nullptr;
    }
    close(descriptor);
    return watchEvent(path, outError);
}

PlatformEvent* platformEventOpen(const char* name, int* outError) {
    if (outError != nullptr)
        *outError = 0;
    std::string path = eventPath(name, outError);
    if (path.empty())
        return nullptr;
    if (access(path.c_str(), F_OK) != 0) {
        if (outError != nullptr)
            *outError = errno;
        return nullptr;
    }
    return watchEvent(path, outError);
}

int platformEventWait(PlatformEvent* event, int timeoutMilliseconds) {
    if (event == nullptr || event->watch < 0)
        return -1;
    alignas(struct inotify_event) char buffer[4096];
    for (;;) {
        struct pollfd waiter {};
        waiter.fd = event->inotify;
        waiter.events = POLLIN;
        int ready = poll(&waiter, 1, timeoutMilliseconds < 0 ? -1 : timeoutMilliseconds);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (ready == 0)
            return 0;
        ssize_t length = read(event->inotify, buffer, sizeof buffer);
        if (length < 0) {
            if (errno == EINTR || errno == EAGAIN)
                continue;
            return -1;
        }
        bool pulsed = false;
        bool gone = false;
        for (ssize_t offset = 0; offset < length;) {
            const struct inotify_event* item =
                reinterpret_cast<const struct inotify_event*>(buffer + offset);
            // An overflowed queue lost pulses; report one rather than none.
            if (item->mask & (IN_CLOSE_WRITE | IN_Q_OVERFLOW))
                pulsed = true;
            if (item->mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED))
                gone = true;
            offset += static_cast<ssize_t>(sizeof(struct inotify_event) + item->len);
        }
        if (gone)
            event->watch = -1;
        if (pulsed)
            return 1;
        if (gone)
            return -1;
    }
}

bool platformEventPulse(PlatformEvent* event) {
    if (event == nullptr)
        return false;
    int descriptor = open(event->path.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW);
    if (descriptor < 0)
        return false;
    close(descriptor);
    return true;
}

bool platformEventPulseByName(const char* name) {
    std::string path = eventPath(name, nullptr);
    if (path.empty())
        return false;
    int descriptor = open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW);
    if (descriptor < 0)
        return false;
    close(descriptor);
    return true;
}

void platformEventClose(PlatformEvent* event) {
    if (event == nullptr)
        return;
    close(event->inotify);
    delete event;
}
