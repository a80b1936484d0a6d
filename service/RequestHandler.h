#pragma once
// Request handler: the libmicrohttpd callbacks of every listener. Decides which
// requests a page may make (a form POST carrying the call, or the browser's
// private-network preflight for it), checks TLS version and Host, collects the
// "Parameter" field, finds the page's origin, hands the call to the session
// dispatcher and sends the answer with the browser-facing headers.

#include "service/RequestState.h"

#include <microhttpd.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>

// Most "Parameter" text one request may carry (the Base64 of the call). A body
// that brings more is refused and its connection closed; nothing beyond this
// is ever buffered.
inline constexpr size_t kMaxParameterText = 16u * 1024u * 1024u;
// Most body bytes announced by Content-Length that are read at all: the
// capped field percent-encoded throughout, plus room for the field name and
// other small fields.
inline constexpr uint64_t kMaxRequestBody = 3ull * kMaxParameterText + 64u * 1024u;

// Size of the post-processor's buffer.
inline constexpr size_t kPostBufferSize = 8192;

// One per HTTP request, from the first call of handleRequest to
// requestCompleted. The request state lives here, so concurrent requests (on
// different listeners, or interleaved on one) never share a body or a map.
struct ConnectionInfo {
    int32_t kind = 0;                            // 1 POST, 2 any other method
    MHD_PostProcessor* postProcessor = nullptr;  // POST only
    RequestState state;
    bool bodyTooLarge = false;                   // "Parameter" went past the cap
};

// TLS protocol numbers (GnuTLS numbering) and how they are treated.
struct TlsProtocolName {
    int number;
    const char* name;
    bool accepted;
};
// Name and acceptance of a protocol number; "Unknow connection protocol" and
// refused for any number outside the table.
TlsProtocolName tlsProtocolName(int number) noexcept;

// The access handler: at least two calls per request (headers, then body
// pieces, then a last call with *uploadDataSize 0).
MHD_Result handleRequest(void* closure, MHD_Connection* connection, const char* url,
                         const char* method, const char* version, const char* uploadData,
                         size_t* uploadDataSize, void** connectionInfoSlot) noexcept;

// The post-processor's iterator: appends the pieces of "Parameter" (up to a
// NUL) to the body. MHD_NO, which stops the parsing, once the cap is passed.
MHD_Result collectParameter(void* connectionInfo, MHD_ValueKind kind, const char* key,
                            const char* fileName, const char* contentType,
                            const char* transferEncoding, const char* data, uint64_t offset,
                            size_t size) noexcept;

// Frees the connection's record (destroying its post-processor first).
void requestCompleted(void* closure, MHD_Connection* connection, void** connectionInfoSlot,
                      MHD_RequestTerminationCode reason) noexcept;

// Accept policy of the IPv4 listeners: only 127.0.0.1 is let in.
MHD_Result acceptLocalClient(void* closure, const sockaddr* address, socklen_t addressLength) noexcept;

// Queues the preflight (204) or the answer (200) with the headers of the
// policy. The answer map of state is consumed. MHD_NO without an answer map or
// when the response cannot be built.
MHD_Result sendAnswer(MHD_Connection* connection, RequestState* state, bool isPreflight) noexcept;
