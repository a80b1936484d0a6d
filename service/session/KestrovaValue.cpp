// Shared value store.
#include "service/session/KestrovaValue.h"

#include "common/json/AES.h"
#include "common/runtime/Log.h"
#include "common/runtime/Tool.h"
#include "service/UnlockURL.h"

#include <strings.h>

#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

constexpr int kResultStored = 0;
constexpr int kResultMissing = 61005;
constexpr int kResultFull = 61019;
constexpr int kResultCipherFail = 61001;

int64_t systemClock() {
    return static_cast<int64_t>(time(nullptr));
}

struct ValueStore {
    SharedValueEntry entries[KESTROVA_VALUE_ENTRIES];
    int64_t (*clock)() = systemClock;
};
ValueStore gl;

int64_t nowSeconds() {
    return gl.clock();
}

int findChannel(const char* channel) {
    for (int i = 0; i < KESTROVA_VALUE_ENTRIES; ++i) {
        if (gl.entries[i].channel != nullptr && strcasecmp(gl.entries[i].channel, channel) == 0) {
            return i;
        }
    }
    return -1;
}

int findFreeEntry() {
    for (int i = 0; i < KESTROVA_VALUE_ENTRIES; ++i) {
        if (gl.entries[i].channel == nullptr) {
            return i;
        }
    }
    return -1;
}

// Clears every entry whose expiry lies in the past (entries without time-out
// carry 0 and go as well) and returns the last one cleared, or -1.
int clearExpiredEntries() {
    const int64_t now = nowSeconds();
    int cleared = -1;
    for (int i = 0; i < KESTROVA_VALUE_ENTRIES; ++i) {
        if (gl.entries[i].channel != nullptr && gl.entries[i].expiresAt < now) {
            clearSharedValue(i);
            cleared = i;
        }
    }
    return cleared;
}

void freeCipher(SharedValueEntry& entry) {
    if (entry.cipherText != nullptr) {
        secureWipe(entry.cipherText, entry.cipherLength);
        free(entry.cipherText);
    }
    entry.cipherText = nullptr;
    entry.cipherLength = 0;
}

} // namespace

void initSharedValueStore() noexcept {
    for (int i = 0; i < KESTROVA_VALUE_ENTRIES; ++i) {
        clearSharedValue(i);
    }
}

void clearSharedValue(int index) noexcept {
    if (index < 0 || index >= KESTROVA_VALUE_ENTRIES) {
        return;
    }
    SharedValueEntry& entry = gl.entries[index];
    free(entry.channel);
    free(entry.domainList);
    freeCipher(entry);
    memset(&entry, 0, sizeof(entry));
}

int storeSharedValue(const char* channel, const char* domainList, int32_t timeout,
                     const char* value) noexcept {
    if (channel == nullptr) {
        KESTROVA_NULL_PARAM("channel");
        return kResultMissing;
    }
    if (domainList == nullptr) {
        KESTROVA_NULL_PARAM("domain_list");
        return kResultMissing;
    }
    if (value == nullptr) {
        KESTROVA_NULL_PARAM("value");
        return kResultMissing;
    }
    if (timeout < 0) {
        return kResultMissing;
    }

    int index = findChannel(channel);
    bool isNew = false;
    if (index < 0) {
        index = findFreeEntry();
        if (index < 0) {
            index = clearExpiredEntries();
            if (index < 0) {
                logWarning("KestrovaValue: ", "Full");
                return kResultFull;
            }
        }
        isNew = true;
    }

    SharedValueEntry& entry = gl.entries[index];
    char* newDomainList = copyString(domainList);
    char* newChannel = isNew ? copyString(channel) : nullptr;
    if (newDomainList == nullptr || (isNew && newChannel == nullptr)) {
        KESTROVA_ALLOC_FAIL();
        free(newDomainList);
        free(newChannel);
        return kResultCipherFail;
    }
    if (isNew) {
        entry.channel = newChannel;
    }
    free(entry.domainList);
    entry.domainList = newDomainList;
    entry.timeout = timeout;
    entry.expiresAt = timeout != 0 ? nowSeconds() + static_cast<int64_t>(timeout) * 60 : 0;

    // The old value goes whatever happens: a failed store must not leave the
    // previous value readable under the new domain list.
    freeCipher(entry);
    size_t cipherLength = 0;
    unsigned char* cipherText = aesEncryptValue(value, &cipherLength);
    if (cipherText == nullptr || cipherLength == 0) {
        KESTROVA_ALLOC_FAIL();
        free(cipherText);
        return kResultCipherFail;
    }
    entry.cipherText = cipherText;
    entry.cipherLength = cipherLength;
    return kResultStored;
}

char* readSharedValue(const char* channel, const char* origin) noexcept {
    char* result = copyString("");
    if (result == nullptr) {
        KESTROVA_ALLOC_FAIL();
    } else if (channel == nullptr) {
        KESTROVA_NULL_PARAM("channel");
    } else if (origin == nullptr) {
        KESTROVA_NULL_PARAM("domain");
    } else {
        const int index = findChannel(channel);
        if (index < 0) {
            logWarning("KestrovaValue no current channel", channel);
        } else {
            SharedValueEntry& entry = gl.entries[index];
            setUnlockURL(entry.domainList);
            checkUnlockURL(origin);
            bool readable = true;
            if (!isUrlCheckPassed()) {
                logWarning("KestrovaValue url check fail", origin);
                readable = false;
            } else if (entry.expiresAt == 0) {
                logNormal("KestrovaValue: ", "No expired time");
            } else {
                const int64_t now = nowSeconds();
                logNormalNumber("KestrovaValue current_time: ",
                                static_cast<long>(static_cast<int32_t>(now)));
                if (now > entry.expiresAt) {
                    logWarning("KestrovaValue: ", "Timeout");
                    logWarningNumber("KestrovaValue expired_time: ",
                                     static_cast<long>(static_cast<int32_t>(entry.expiresAt)));
                    readable = false;
                } else {
                    entry.expiresAt = now + static_cast<int64_t>(entry.timeout) * 60;
                    logNormalNumber("KestrovaValue update expired_time: ",
                                    static_cast<long>(static_cast<int32_t>(entry.expiresAt)));
                }
            }
            if (readable) {
                free(result);
                result = nullptr;
                if (entry.cipherText != nullptr) {
                    result = aesDecryptValue(entry.cipherText, entry.cipherLength, aesStoreKey(),
                                             aesStoreVector());
                }
                if (result == nullptr) {
                    KESTROVA_ALLOC_FAIL();
                }
            }
        }
    }
    clearUrlCheckList();
    return result;
}

void setSharedValueClock(int64_t (*clock)()) noexcept {
    gl.clock = clock != nullptr ? clock : systemClock;
}

const SharedValueEntry* sharedValueEntry(int index) noexcept {
    if (index < 0 || index >= KESTROVA_VALUE_ENTRIES) {
        return nullptr;
    }
    return &gl.entries[index];
}
