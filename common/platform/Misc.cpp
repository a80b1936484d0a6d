// Random bytes, the local port probe over /proc/net, and module loading.

#include "common/platform/Platform.h"

#include <arpa/inet.h>
#include <dlfcn.h>
#include <netinet/in.h>
#include <sys/random.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>

// ---------------------------------------------------------------------------
// Random bytes
// ---------------------------------------------------------------------------

bool platformRandomBytes(void* buffer, size_t length) {
    if (buffer == nullptr)
        return false;
    unsigned char* out = static_cast<unsigned char*>(buffer);
    size_t done = 0;
    while (done < length) {
        ssize_t got = getrandom(out + done, length - done, 0);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        done += static_cast<size_t>(got);
    }
    return true;
}

// ---------------------------------------------------------------------------
// Local port probe
// ---------------------------------------------------------------------------

namespace {

constexpr unsigned kTcpEstablished = 0x01;
constexpr unsigned kTcpListen = 0x0A;

// /proc/net/tcp* print an address as the in-memory 32-bit words in hex, each
// word in host order; reading each word back restores the network bytes.
bool parseProcAddress(const std::string& text, unsigned char* outAddress, size_t addressLength,
                      unsigned* outPort) {
    size_t colon = text.find(':');
    if (colon != addressLength * 2 || text.size() <= colon + 1)
        return false;
    for (size_t word = 0; word < addressLength / 4; word++) {
        char digits[9] = {};
        memcpy(digits, text.data() + word * 8, 8);
        char* end = nullptr;
        unsigned long value = strtoul(digits, &end, 16);
        if (end != digits + 8)
            return false;
        uint32_t host = static_cast<uint32_t>(value);
        memcpy(outAddress + word * 4, &host, 4);
    }
    char* end = nullptr;
    unsigned long port = strtoul(text.c_str() + colon + 1, &end, 16);
    if (end == text.c_str() + colon + 1 || port > 0xFFFF)
        return false;
    *outPort = static_cast<unsigned>(port);
    return true;
}

} // namespace

bool platformLocalPortInUse(int port, bool ipv6) {
    if (port <= 0 || port > 0xFFFF)
        return false;
    unsigned char loopback[16] = {};
    size_t addressLength = ipv6 ? 16 : 4;
    if (inet_pton(ipv6 ? AF_INET6 : AF_INET, ipv6 ? "::1" : "127.0.0.1", loopback) != 1)
        return false;
    std::ifstream table(ipv6 ? "/proc/net/tcp6" : "/proc/net/tcp");
    if (!table)
        return false;
    std::string line;
    std::getline(table, line); // column heads
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, foreign, state;
        if (!(fields >> slot >> local >> foreign >> state))
            continue;
        unsigned stateNumber = static_cast<unsigned>(strtoul(state.c_str(), nullptr, 16));
        if (stateNumber != kTcpListen && stateNumber != kTcpEstablished)
            continue;
        for (const std::string* endpoint : {&local, &foreign}) {
            unsigned char address[16] = {};
            unsigned endpointPort = 0;
            if (!parseProcAddress(*endpoint, address, addressLength, &endpointPort))
                continue;
            if (endpointPort == static_cast<unsigned>(port) &&
                memcmp(address, loopback, addressLength) == 0)
                return true;
        }
    }
    return false;
}

// ---------------------------------------------------------------------------
// Modules
// ---------------------------------------------------------------------------

namespace {

// dlerror's text is process-wide; keep the call and the read together. The
// mutex is recursive because a library's constructors may load modules.
std::recursive_mutex gModuleMutex;

void takeDlError(std::string* outError, const char* fallback) {
    const char* text = dlerror();
    if (outError != nullptr)
        *outError = text != nullptr ? text : fallback;
}

} // namespace

void* platformModuleLoad(const char* path, std::string* outError) {
    if (path == nullptr || path[0] == '\0') {
        if (outError != nullptr)
            *outError = "empty module path";
        return nullptr;
    }
    std::lock_guard<std::recursive_mutex> hold(gModuleMutex);
    dlerror();
    void* module = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr)
        takeDlError(outError, "dlopen failed");
    else if (outError != nullptr)
        outError->clear();
    return module;
}

void* platformModuleSymbol(void* module, const char* name, std::string* outError) {
    if (module == nullptr || name == nullptr) {
        if (outError != nullptr)
            *outError = "null module or symbol name";
        return nullptr;
    }
    std::lock_guard<std::recursive_mutex> hold(gModuleMutex);
    dlerror();
    void* symbol = dlsym(module, name);
    if (symbol == nullptr)
        takeDlError(outError, "symbol not found");
    else if (outError != nullptr)
        outError->clear();
    return symbol;
}

bool platformModuleFree(void* module, std::string* outError) {
    if (module == nullptr)
        return true;
    std::lock_guard<std::recursive_mutex> hold(gModuleMutex);
    dlerror();
    if (dlclose(module) != 0) {
        takeDlError(outError, "dlclose failed");
        return false;
    }
    if (outError != nullptr)
        outError->clear();
    return true;
}
