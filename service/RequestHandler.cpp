// Request handler and the browser-facing HTTP policy of the listeners.

#include "service/RequestHandler.h"

#include "common/json/AES.h"
#include "common/json/Json.h"
#include "common/runtime/Log.h"
#include "common/runtime/QXLog.h"
#include "common/runtime/Tool.h"
#include "service/session/KestrovaSession.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <strings.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

namespace {

constexpr int kResultNoTlsInformation = 61001;
constexpr int kResultNotLocalHost = 61904;
constexpr int kResultNoOrigin = 61012;

const TlsProtocolName kTlsProtocols[] = {
    {2, "TLS 1.0", false},   {3, "TLS 1.1", false},   {4, "TLS 1.2", true},
    {5, "TLS 1.3", true},    {200, "DTLS 0.9", true}, {201, "DTLS 1.0", true},
    {202, "DTLS 1.2", true},
};

// Request headers only. A query argument or a cookie must never stand in for
// Host, Origin or Referer: the URL is the page's to choose, so it could claim
// another site's origin or a local Host.
const char* headerValue(MHD_Connection* connection, const char* name)
{
    return MHD_lookup_connection_value(connection, MHD_HEADER_KIND, name);
}

void wipeBody(std::string& body)
{
    if (!body.empty())
        secureWipe(body.data(), body.size());
    body.clear();
}

// Appends to the body without leaving copies of it behind: when the buffer
// has to grow, the old one is wiped before it is given back.
void appendWiping(std::string& body, const char* data, size_t length)
{
    if (body.size() + length > body.capacity()) {
        size_t wanted = std::max(body.size() + length, std::max<size_t>(body.capacity() * 2, 4096));
        std::string bigger;
        bigger.reserve(std::min(wanted, std::max(kMaxParameterText, body.size() + length)));
        bigger.assign(body);
        wipeBody(body);
        body.swap(bigger);
    }
    body.append(data, length);
}

// Releases everything a request collected. The body and the decoded call hold
// the page's secrets (PINs), so they are wiped first.
void resetRequestState(RequestState& state)
{
    wipeBody(state.body);
    state.body.shrink_to_fit();
    freeJsonMap(state.request);
    state.request = nullptr;
    freeJsonMap(state.answer);
    state.answer = nullptr;
    free(state.origin);
    state.origin = nullptr;
    free(state.referer);
    state.referer = nullptr;
}

void connectionInfoFree(ConnectionInfo* info)
{
    if (!info)
        return;
    if (info->postProcessor) {
        MHD_destroy_post_processor(info->postProcessor);
        info->postProcessor = nullptr;
    }
    resetRequestState(info->state);
    delete info;
}

// Puts result into the state's answer map, making the map when there is none.
void setEarlyResult(RequestState& state, int result)
{
    if (!state.answer)
        state.answer = newJsonMap();
    if (state.answer)
        setResult(state.answer, result);
}

// Finds the page's origin from "Origin", else from "Referer" (its first three
// "/"-pieces). False, with 61012 in the answer, when neither gives one.
bool extractOrigin(MHD_Connection* connection, RequestState& state)
{
    const char* referer = headerValue(connection, "referer");
    if (referer) {
        state.referer = copyString(referer);
        if (!state.referer)
            throw std::bad_alloc();
    }
    logNormal("Referer: ", state.referer);
    const char* origin = headerValue(connection, "origin");
    state.origin = copyString(origin ? origin : "");
    if (!state.origin)
        throw std::bad_alloc();
    logNormal("Origin: ", state.origin);

    if (state.origin[0] != '\0' && strcmp(state.origin, "null") != 0)
        return true;

    logWarning("Empty origin: ", state.origin);
    logWarning("Extract origin from referer: ", "Start");
    if (!state.referer || state.referer[0] == '\0' || strcmp(state.referer, "null") == 0) {
        logWarning("Empty Referer: ", state.referer);
        logWarning("Extract origin from referer: ", "Fail");
        setEarlyResult(state, kResultNoOrigin);
        return false;
    }

    char** pieces = splitString(state.referer, "/");
    if (!pieces)
        throw std::bad_alloc();
    size_t count = stringListLength(pieces);
    for (size_t i = 0; i < count; ++i) {
        char label[512];
        snprintf(label, sizeof label, "UrlList[%d]: ", static_cast<int>(i));
        logNormal(label, pieces[i]);
    }
    bool found = count >= 3;
    if (found) {
        std::string built = std::string(pieces[0]) + "/" + pieces[1] + "/" + pieces[2];
        char* newOrigin = copyString(built.c_str());
        if (!newOrigin) {
            freeStringList(pieces);
            throw std::bad_alloc();
        }
        free(state.origin);
        state.origin = newOrigin;
        logNormal("New Origin: ", state.origin);
    } else {
        logWarning("", "UrlList error: ");
        logWarning("Extract origin from referer: ", "Fail");
        setEarlyResult(state, kResultNoOrigin);
    }
    freeStringList(pieces);
    return found;
}

// Steps of the last call of a POST that lead up to the answer. The answer map
// (or its absence, which refuses the request) is left in state.
void handlePost(MHD_Connection* connection, ConnectionInfo& info)
{
    RequestState& state = info.state;
    logNormal("", "Release Mode");

    const MHD_ConnectionInfo* tls =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_PROTOCOL);
    if (!tls) {
        logWarning("", "Get connection information error");
        setEarlyResult(state, kResultNoTlsInformation);
        return;
    }
    TlsProtocolName protocol = tlsProtocolName(tls->protocol);
    if (!protocol.accepted) {
        logWarning("Insecure connection: ", protocol.name);
        if (protocol.number != 2 && protocol.number != 3)
            logWarningNumber("", protocol.number);
        freeJsonMap(state.answer);
        state.answer = nullptr;
        return;
    }
    logNormal("TLS version: ", protocol.name);

    char host[64] = "";
    copyBounded(host, sizeof host, headerValue(connection, "host"));
    logNormal("Host: ", host);
    if (strncmp(host, "localhost:", 10) != 0 && strncmp(host, "127.0.0.1:", 10) != 0) {
        logWarning("", "This connection is NOT from localhost");
        setEarlyResult(state, kResultNotLocalHost);
        return;
    }

    size_t decodedLength = 0;
    char* decoded = decodeUrlBase64(state.body.c_str(), &decodedLength);
    wipeBody(state.body);
    if (!decoded) {
        KESTROVA_ALLOC_FAIL();
        return;
    }
    state.request = parseJsonMap(decoded);
    secureWipe(decoded, decodedLength);
    freeSecret(decoded);
    if (!state.request) {
        KESTROVA_ALLOC_FAIL();
        return;
    }

    if (!extractOrigin(connection, state))
        return;

    freeJsonMap(state.answer);
    state.answer = dispatchRequest(&state);
}

} // namespace

// ---------------------------------------------------------------------------

TlsProtocolName tlsProtocolName(int number) noexcept
{
    for (const auto& entry : kTlsProtocols)
        if (entry.number == number)
            return entry;
    return {number, "Unknow connection protocol", false};
}

MHD_Result collectParameter(void* connectionInfo, MHD_ValueKind kind, const char* key,
                            const char* fileName, const char* contentType,
                            const char* transferEncoding, const char* data, uint64_t offset,
                            size_t size) noexcept
{
    auto* info = static_cast<ConnectionInfo*>(connectionInfo);
    if (!info || !key || strcmp(key, "Parameter") != 0 || !data)
        return MHD_YES;
    if (info->bodyTooLarge)
        return MHD_NO;
    size_t length = strnlen(data, size);
    if (length > kMaxParameterText - info->state.body.size()) {
        // Refuse instead of growing without bound; what came so far is
        // dropped at once.
        info->bodyTooLarge = true;
        wipeBody(info->state.body);
        return MHD_NO;
    }
    try {
        appendWiping(info->state.body, data, length);
    } catch (...) {
        KESTROVA_ALLOC_FAIL();
        info->bodyTooLarge = true;
        wipeBody(info->state.body);
        return MHD_NO;
    }
    return MHD_YES;
}

void requestCompleted(void* closure, MHD_Connection* connection, void** connectionInfoSlot,
                      MHD_RequestTerminationCode reason) noexcept
{
    if (!connectionInfoSlot || !*connectionInfoSlot)
        return;
    connectionInfoFree(static_cast<ConnectionInfo*>(*connectionInfoSlot));
    *connectionInfoSlot = nullptr;
}

MHD_Result acceptLocalClient(void* closure, const sockaddr* address, socklen_t addressLength) noexcept
{
    if (!address)
        return MHD_NO;
    if (address->sa_family == AF_INET && addressLength >= sizeof(sockaddr_in)) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(address);
        if (v4->sin_addr.s_addr == htonl(INADDR_LOOPBACK))
            return MHD_YES;
    }
    char text[512];
    size_t used = 0;
    for (size_t i = 0; i < sizeof address->sa_data && used < sizeof text; ++i) {
        int n = snprintf(text + used, sizeof text - used, i == 0 ? "%d" : ".%d",
                         static_cast<int>(static_cast<signed char>(address->sa_data[i])));
        if (n < 0)
            break;
        used += static_cast<size_t>(n);
    }
    text[sizeof text - 1] = '\0';
    logWarning("Illegal connection ip: ", text);
    return MHD_NO;
}

MHD_Result sendAnswer(MHD_Connection* connection, RequestState* state, bool isPreflight) noexcept
{
    if (!connection || !state)
        return MHD_NO;
    MHD_Response* response = nullptr;
    if (isPreflight) {
        response = MHD_create_response_from_buffer(0, nullptr, MHD_RESPMEM_PERSISTENT);
        free(state->origin);
        const char* origin = headerValue(connection, "origin");
        state->origin = origin ? copyString(origin) : nullptr;
    } else {
        if (!state->answer)
            return MHD_NO;
        char* text = toAnswerText(state->answer);
        freeJsonMap(state->answer);
        state->answer = nullptr;
        if (!text) {
            KESTROVA_ALLOC_FAIL();
            return MHD_NO;
        }
        size_t length = strlen(text);
        response = MHD_create_response_from_buffer(length, text, MHD_RESPMEM_MUST_COPY);
        secureWipe(text, length);
        free(text);
    }
    if (!response) {
        if (isPreflight) {
            free(state->origin);
            state->origin = nullptr;
        }
        return MHD_NO;
    }

    if (state->origin && strncmp(state->origin, "http", 4) == 0)
        MHD_add_response_header(response, "Access-Control-Allow-Origin", state->origin);
    const char* connectionHeader = headerValue(connection, "Connection");
    if (connectionHeader && strcasecmp(connectionHeader, "keep-alive") == 0)
        MHD_add_response_header(response, "Keep-Alive", "timeout=15, max=100");

    unsigned status;
    if (isPreflight) {
        free(state->origin);
        state->origin = nullptr;
        MHD_add_response_header(response, "Access-Control-Allow-Methods", "POST");
        MHD_add_response_header(response, "Access-Control-Allow-Private-Network", "true");
        MHD_add_response_header(response, "Access-Control-Max-Age", "30");
        status = MHD_HTTP_NO_CONTENT;
    } else {
        MHD_add_response_header(response, "X-XSS-Protection", "1; mode=block");
        status = MHD_HTTP_OK;
    }
    MHD_Result queued = MHD_queue_response(connection, status, response);
    MHD_destroy_response(response);
    return queued;
}

MHD_Result handleRequest(void* closure, MHD_Connection* connection, const char* url,
                         const char* method, const char* version, const char* uploadData,
                         size_t* uploadDataSize, void** connectionInfoSlot) noexcept
{
    if (!connection || !method || !uploadDataSize || !connectionInfoSlot)
        return MHD_NO;
    bool isPost = strcmp(method, "POST") == 0;

    // First call: only the headers are in.
    if (!*connectionInfoSlot) {
        auto* info = new (std::nothrow) ConnectionInfo();
        if (!info)
            return MHD_NO;
        if (isPost) {
            // A body announced bigger than the cap allows is never read.
            const char* lengthText = MHD_lookup_connection_value(
                connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
            if (lengthText) {
                char* end = nullptr;
                unsigned long long announced = strtoull(lengthText, &end, 10);
                if (announced > kMaxRequestBody) {
                    logWarning("Request body too large: ", lengthText);
                    delete info;
                    return MHD_NO;
                }
            }
            info->postProcessor =
                MHD_create_post_processor(connection, kPostBufferSize, collectParameter, info);
            if (!info->postProcessor) {
                delete info;
                return MHD_NO;
            }
            info->kind = 1;
        } else {
            info->kind = 2;
        }
        *connectionInfoSlot = info;
        return MHD_YES;
    }

    auto* info = static_cast<ConnectionInfo*>(*connectionInfoSlot);
    try {
        if (!isPost) {
            const char* requestMethod = headerValue(connection, "Access-Control-Request-Method");
            const char* privateNetwork =
                headerValue(connection, "Access-Control-Request-Private-Network");
            if (strcmp(method, "OPTIONS") == 0 && requestMethod &&
                strcmp(requestMethod, "POST") == 0 && privateNetwork &&
                strcmp(privateNetwork, "true") == 0)
                return sendAnswer(connection, &info->state, true);
            logError("Request method error: ", method);
            return MHD_NO;
        }

        if (*uploadDataSize != 0) {
            if (!info->bodyTooLarge && info->postProcessor)
                MHD_post_process(info->postProcessor, uploadData, *uploadDataSize);
            *uploadDataSize = 0;
            if (info->bodyTooLarge) {
                logWarning("Request body too large: ", "Refused");
                return MHD_NO;
            }
            return MHD_YES;
        }

        // Last call. The post-processor hands over the last field of a body
        // without a final "&" only when it is destroyed: do that now, so the
        // call is decoded whole.
        if (info->postProcessor) {
            MHD_destroy_post_processor(info->postProcessor);
            info->postProcessor = nullptr;
        }
        if (info->bodyTooLarge) {
            logWarning("Request body too large: ", "Refused");
            resetRequestState(info->state);
            return MHD_NO;
        }

        handlePost(connection, *info);
        MHD_Result result = sendAnswer(connection, &info->state, false);
        resetRequestState(info->state);
        logSeparator();
        return result;
    } catch (...) {
        KESTROVA_ALLOC_FAIL();
        resetRequestState(info->state);
        return MHD_NO;
    }
}
