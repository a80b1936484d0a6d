// The listener set of the service.

#include "service/Listener.h"

#include "common/runtime/Log.h"
#include "common/runtime/QXLog.h"
#include "common/runtime/Tool.h"
#include "service/RequestHandler.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

// libmicrohttpd's own messages go to the log as they are.
void logServerMessage(void* closure, const char* format, va_list arguments)
{
    if (format)
        QXLogPrintV(5, format, arguments);
}

} // namespace

bool readPortList(const char* text, int outPorts[kListenerPorts]) noexcept
{
    if (!text || !outPorts)
        return false;
    int ports[kListenerPorts] = {0, 0, 0};
    if (sscanf(text, "port=%d %d %d", &ports[0], &ports[1], &ports[2]) != kListenerPorts)
        return false;
    for (int port : ports)
        if (port < 1 || port > 65535)
            return false;
    memcpy(outPorts, ports, sizeof ports);
    return true;
}

char* buildPriorityString() noexcept
{
    try {
        std::string priorities = "NORMAL:!VERS-TLS-ALL:!SHA1";
        priorities += ":+VERS-TLS1.2";
        priorities += ":+VERS-TLS1.3";
        // "!SHA1" only drops the HMAC; without these a client that offers
        // nothing but SHA-1 signatures would still get a handshake.
        priorities += ":-SIGN-RSA-SHA1:-SIGN-ECDSA-SHA1:-SIGN-DSA-SHA1";
        return copyString(priorities.c_str());
    } catch (...) {
        return nullptr;
    }
}

MHD_Daemon* startDaemon(unsigned flags, const sockaddr* address, const char* certificateText,
                        const char* keyText, const char* priorities) noexcept
{
    if (!address)
        return nullptr;
    bool ipv6 = address->sa_family == AF_INET6;
    if (address->sa_family != AF_INET && !ipv6) {
        logErrorNumber("Unknow address family: ", address->sa_family);
        return nullptr;
    }
    uint16_t port = ipv6 ? ntohs(reinterpret_cast<const sockaddr_in6*>(address)->sin6_port)
                         : ntohs(reinterpret_cast<const sockaddr_in*>(address)->sin_port);
    char label[128];
    snprintf(label, sizeof label, "Detect port %u state: ", static_cast<unsigned>(port));
    if (isLocalPortInUse(port, ipv6)) {
        logNormal(label, "In use, try next port");
        return nullptr;
    }
    logNormal(label, "Free");

    // The IPv6 loopback is the only peer an IPv6 socket bound to ::1 can have,
    // so only the IPv4 listeners need the accept policy.
    MHD_Daemon* daemon = MHD_start_daemon(
        flags, port, ipv6 ? nullptr : acceptLocalClient, nullptr, handleRequest, nullptr,
        MHD_OPTION_EXTERNAL_LOGGER, logServerMessage, nullptr,
        MHD_OPTION_SOCK_ADDR, address,
        MHD_OPTION_HTTPS_MEM_CERT, certificateText,
        MHD_OPTION_HTTPS_MEM_KEY, keyText,
        MHD_OPTION_HTTPS_PRIORITIES, priorities,
        MHD_OPTION_NOTIFY_COMPLETED, requestCompleted, nullptr,
        MHD_OPTION_END);

    snprintf(label, sizeof label, "ARDEQKestrova at %s%u launch state: ",
             ipv6 ? "[::1]:" : "127.0.0.1:", static_cast<unsigned>(port));
    if (daemon)
        logNormal(label, "Success");
    else
        logError(label, "Fail");
    return daemon;
}

void startListeners(ListenerSet& set, const int ports[kListenerPorts],
                    const char* certificateText, const char* keyText,
                    const char* priorities) noexcept
{
    for (int i = 0; i < kListenerPorts; ++i) {
        sockaddr_in v4{};
        v4.sin_family = AF_INET;
        v4.sin_port = htons(static_cast<uint16_t>(ports[i]));
        v4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        set.ipv4[i] = startDaemon(kListenerFlagsIPv4, reinterpret_cast<const sockaddr*>(&v4),
                                  certificateText, keyText, priorities);
        if (set.ipv4[i])
            ++set.count;

        sockaddr_in6 v6{};
        v6.sin6_family = AF_INET6;
        v6.sin6_port = htons(static_cast<uint16_t>(ports[i]));
        v6.sin6_flowinfo = 0;
        v6.sin6_addr = in6addr_loopback;
        v6.sin6_scope_id = 0;
        set.ipv6[i] = startDaemon(kListenerFlagsIPv6, reinterpret_cast<const sockaddr*>(&v6),
                                  certificateText, keyText, priorities);
        if (set.ipv6[i])
            ++set.count;
    }
}

void stopListeners(ListenerSet& set) noexcept
{
    for (int i = 0; i < kListenerPorts; ++i) {
        if (set.ipv4[i]) {
            MHD_stop_daemon(set.ipv4[i]);
            set.ipv4[i] = nullptr;
        }
        if (set.ipv6[i]) {
            MHD_stop_daemon(set.ipv6[i]);
            set.ipv6[i] = nullptr;
        }
    }
    set.count = 0;
}
