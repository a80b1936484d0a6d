// The whole road of a call after TLS: the form body, the "Parameter" field
// collected by the request handler's own iterator (fed the way the
// post-processor feeds it, in pieces), the URL-escaped Base64 decoding, the
// JSON map, the session dispatcher with the real session table, path table,
// adapter copies and shared value store, and the answer text.
//
// Input: the first byte chooses how the rest is used.
//   bit 0   1: the rest is the call's JSON text, put into a form body as a
//             page does; 0: the rest is the raw form body.
//   bit 1   with bit 0: another field before "Parameter".
//   bits 2-3  piece size of the field values: whole, 1, 7 or 8192 bytes.
//   bit 4   the page's origin: "https://fuzz.example" or "https://other.example".
// Before every input a standing session "FUZZ0000_SID" is opened (or echoed,
// when it still exists), so that calls naming it reach the paths of an open
// session whatever earlier inputs released.

#include "common/json/AES.h"
#include "common/json/Json.h"
#include "common/runtime/Tool.h"
#include "service/RequestHandler.h"
#include "service/ServiceState.h"
#include "service/session/KestrovaSession.h"
#include "tests/fuzz/FuzzSupport.h"

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#ifndef FUZZ_ADAPTER_ROOT
#error "FUZZ_ADAPTER_ROOT: the folder holding ARDEQ/GpkiCardAdapter.so"
#endif

namespace {

constexpr const char* kStandingOpen =
    R"({"FunctionName":"KestrovaEcho","SessionId":"FUZZ0000_SID","PathID":"5D21A7C94E3B4F08A6C2917E0B4D3F65",)"
    R"("minServerVersion":"1.0.22.0804","minLibVersion":"1.0.0.0"})";

std::string gRoot;

void cleanUp()
{
    releaseAllAdapters();
    if (!gRoot.empty()) {
        std::error_code error;
        std::filesystem::remove_all(gRoot, error);
    }
}

std::string percentEncode(const std::string& text)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

std::string formOfJson(const std::string& json)
{
    char* base64 = encodeValueBase64(json.c_str());
    std::string form = "Parameter=" + percentEncode(base64 != nullptr ? base64 : "");
    free(base64);
    return form;
}

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Form decoding of one name or value: "+" is a blank, "%XX" a byte; a "%"
// that does not start an escape stays.
std::string formUnescape(const std::string& text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '+') {
            out += ' ';
        } else if (text[i] == '%' && i + 2 < text.size() && hexDigit(text[i + 1]) >= 0 &&
                   hexDigit(text[i + 2]) >= 0) {
            out += static_cast<char>(hexDigit(text[i + 1]) * 16 + hexDigit(text[i + 2]));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

// The post-processor's part: every "name=value" pair of the body handed to
// the request handler's iterator, the value in pieces. False when the
// iterator stopped the body (the request is refused).
bool collectForm(ConnectionInfo& info, const std::string& body, size_t piece)
{
    size_t start = 0;
    while (start <= body.size()) {
        size_t end = body.find('&', start);
        if (end == std::string::npos)
            end = body.size();
        const std::string pair = body.substr(start, end - start);
        start = end + 1;
        if (pair.empty())
            continue;
        const size_t equals = pair.find('=');
        const std::string key = formUnescape(pair.substr(0, equals));
        const std::string value = equals == std::string::npos ? std::string() : formUnescape(pair.substr(equals + 1));
        size_t offset = 0;
        do {
            const size_t size = std::min(piece == 0 ? value.size() : piece, value.size() - offset);
            if (collectParameter(&info, MHD_POSTDATA_KIND, key.c_str(), nullptr, nullptr, nullptr,
                                 value.data() + offset, offset, size) != MHD_YES)
                return false;
            offset += size;
        } while (offset < value.size());
    }
    return true;
}

// The last call of a POST from the decoding on: the answer text, or nothing
// (refused).
void handleBody(const std::string& body, size_t piece, const char* origin)
{
    ConnectionInfo info;
    info.kind = 1;
    RequestState& state = info.state;
    if (collectForm(info, body, piece)) {
        size_t decodedLength = 0;
        char* decoded = decodeUrlBase64(state.body.c_str(), &decodedLength);
        secureWipe(state.body.data(), state.body.size());
        state.body.clear();
        if (decoded != nullptr) {
            state.request = parseJsonMap(decoded);
            secureWipe(decoded, decodedLength);
            freeSecret(decoded);
        }
        if (state.request != nullptr) {
            state.origin = copyString(origin);
            state.answer = dispatchRequest(&state);
            if (state.answer != nullptr) {
                char* text = toAnswerText(state.answer);
                free(text);
            }
        }
    }
    freeJsonMap(state.request);
    freeJsonMap(state.answer);
    free(state.origin);
    free(state.referer);
    state = RequestState();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::quietLogging();
    char pattern[] = "/tmp/kestrova-request-fuzz-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        perror("mkdtemp");
        abort();
    }
    gRoot = pattern;
    gService.copyPath = gRoot + "/ARDEQKestrova";
    gService.executePath = FUZZ_ADAPTER_ROOT;
    gService.processId = static_cast<uint32_t>(getpid());
    startSessionModule();
    atexit(cleanUp);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    const uint8_t mode = data[0];
    const std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
    static const size_t pieces[] = {0, 1, 7, 8192};
    const size_t piece = pieces[(mode >> 2) & 3];
    const char* origin = (mode & 0x10) != 0 ? "https://other.example" : "https://fuzz.example";

    handleBody(formOfJson(kStandingOpen), 0, "https://fuzz.example");

    std::string body;
    if ((mode & 1) != 0) {
        // The JSON text as a page sends it (a text, so up to its first NUL).
        body = formOfJson(rest.c_str());
        if ((mode & 2) != 0)
            body = "Other=x%26y&" + body;
    } else {
        body = rest;
    }
    handleBody(body, piece, origin);
    return 0;
}
