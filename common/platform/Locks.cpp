// Per-user named locks and the system-wide log lock, both flock(2) on files:
// the kernel drops a lock when its holder dies, which is what an abandoned
// mutex gives the next caller.

#include "common/platform/Platform.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <new>

struct PlatformLock {
    int descriptor;
};

namespace {

constexpr const char* kLogLockPath = "/tmp/.QXLog.lock";
constexpr long kRetryMilliseconds = 5;

long long monotonicMilliseconds() {
    struct timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void sleepMilliseconds(long milliseconds) {
    struct timespec delay {};
    delay.tv_sec = milliseconds / 1000;
    delay.tv_nsec = (milliseconds % 1000) * 1000000L;
    while (nanosleep(&delay, &delay) != 0 && errno == EINTR) {
    }
}

bool validLockName(const char* name) {
    if (name == nullptr || name[0] == '\0' || strcmp(name, ".") == 0 || strcmp(name, "..") == 0)
        return false;
    return strchr(name, '/') == nullptr;
}

} // namespace

PlatformLock* platformLockAcquire(const char* name, unsigned waitMilliseconds, int* outError) {
    if (outError != nullptr)
        *outError = 0;
    if (!validLockName(name)) {
        if (outError != nullptr)
            *outError = EINVAL;
        return nullptr;
    }
    int error = 0;
    std::string folder = platformRuntimeSubfolder("locks", &error);
    if (folder.empty()) {
        if (outError != nullptr)
            *outError = error != 0 ? error : EACCES;
        return nullptr;
    }
    std::string path = folder + "/" + name;
    int descriptor = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (descriptor < 0) {
        if (outError != nullptr)
            *outError = errno;
        return nullptr;
    }
    const long long deadline = monotonicMilliseconds() + waitMilliseconds;
    for (;;) {
        if (flock(descriptor, LOCK_EX | LOCK_NB) == 0)
            break;
        if (errno != EWOULDBLOCK && errno != EINTR) {
            if (outError != nullptr)
                *outError = errno;
            close(descriptor);
            return nullptr;
        }
        long long left = deadline - monotonicMilliseconds();
        if (left <= 0) {
            close(descriptor);
            return nullptr;
        }
        sleepMilliseconds(left < kRetryMilliseconds ? static_cast<long>(left) : kRetryMilliseconds);
    }
    PlatformLock* lock = new (std::nothrow) PlatformLock{descriptor};
    if (lock == nullptr) {
        if (outError != nullptr)
            *outError = ENOMEM;
        close(descriptor);
    }
    return lock;
}

void platformLockRelease(PlatformLock* lock) {
    if (lock == nullptr)
        return;
    flock(lock->descriptor, LOCK_UN);
    close(lock->descriptor);
    delete lock;
}

int platformLogLockAcquire() {
    // Open without O_CREAT first: with fs.protected_regular, an O_CREAT open of
    // another user's file in sticky /tmp is refused even though it exists.
    int descriptor = open(kLogLockPath, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (descriptor < 0 && errno == ENOENT) {
        descriptor = open(kLogLockPath, O_RDONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
        if (descriptor >= 0)
            fchmod(descriptor, 0666); // whatever the umask, every user must open it
        else if (errno == EEXIST)
            descriptor = open(kLogLockPath, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    }
    if (descriptor < 0)
        return -1;
    while (flock(descriptor, LOCK_EX) != 0) {
        if (errno != EINTR) {
            close(descriptor);
            return -1;
        }
    }
    return descriptor;
}

void platformLogLockRelease(int descriptor) {
    if (descriptor < 0)
        return;
    flock(descriptor, LOCK_UN);
    close(descriptor);
}
