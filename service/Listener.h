#pragma once
// The listener set: one HTTPS server of libmicrohttpd per loopback address
// (127.0.0.1 and ::1) and port, each probed first and started with the same
// TLS credentials and priorities.

#include <microhttpd.h>
#include <sys/socket.h>

#include <cstdint>

inline constexpr int kListenerPorts = 3;
// The port list, in the "port=%d %d %d" form.
inline constexpr const char* kPortList = "port=56366 56386 56406";
// Daemon flags: error log, TLS, one internal polling thread; IPv6 adds its bit.
inline constexpr unsigned kListenerFlagsIPv4 =
    MHD_USE_ERROR_LOG | MHD_USE_TLS | MHD_USE_INTERNAL_POLLING_THREAD;
inline constexpr unsigned kListenerFlagsIPv6 = kListenerFlagsIPv4 | MHD_USE_IPv6;

struct ListenerSet {
    MHD_Daemon* ipv4[kListenerPorts] = {};
    MHD_Daemon* ipv6[kListenerPorts] = {};
    int count = 0; // entries that are not null
};

// Reads the three ports from text in the "port=%d %d %d" form. False (ports
// unchanged) when the text does not hold three ports from 1 to 65535.
bool readPortList(const char* text, int outPorts[kListenerPorts]) noexcept;

// The GnuTLS priorities of every listener: only TLS 1.2 and 1.3, no SHA-1
// (neither as MAC nor in signatures).
// New text (free it), or null when memory fails.
char* buildPriorityString() noexcept;

// Probes the port of address and, when it is free, starts one listener with
// the credentials (PEM texts) and priorities. Null when the family is not
// IPv4/IPv6, the port is in use, or the library refuses.
MHD_Daemon* startDaemon(unsigned flags, const sockaddr* address, const char* certificateText,
                        const char* keyText, const char* priorities) noexcept;

// Tries all ports for both families, in list order, whatever the earlier
// results, and fills set.
void startListeners(ListenerSet& set, const int ports[kListenerPorts],
                    const char* certificateText, const char* keyText,
                    const char* priorities) noexcept;

// Stops each port's IPv4 then IPv6 listener, skipping empty entries.
void stopListeners(ListenerSet& set) noexcept;
