#pragma once
// The state of one request in hand. It belongs to the connection (kept in its
// ConnectionInfo), never to the process, so requests on different listeners
// and interleaved connections never mix.

#include <string>

struct JsonMap;

struct RequestState {
    std::string body;          // "Parameter" values of the POST body, capped
    JsonMap* request = nullptr; // the parsed call
    JsonMap* answer = nullptr;  // the answer to send
    char* origin = nullptr;     // the page's origin (heap text)
    char* referer = nullptr;    // the value named "referer" (heap text)
};
