// Session table and request dispatch (first cut: echo only).
#include "service/session/KestrovaSession.h"

#if __has_include("common/json/Json.h")
#include "common/json/Json.h"
#define KESTROVA_HAVE_JSON 1
#endif

#include <cstdlib>
#include <mutex>

namespace {
struct SessionModule {
    std::mutex lock;
};
SessionModule gl;
} // namespace

JsonMap* dispatchRequest(RequestState* state)
{
    std::lock_guard<std::mutex> guard(gl.lock);
    if (state == nullptr || state->request == nullptr || state->origin == nullptr) {
        return nullptr;
    }
#ifdef KESTROVA_HAVE_JSON
    JsonMap* answer = static_cast<JsonMap*>(calloc(1, sizeof(JsonMap)));
    if (answer != nullptr) {
        setResult(answer, 0);
    }
    return answer;
#else
    return nullptr;
#endif
}

void startSessionModule() {}

void releaseAllAdapters()
{
    std::lock_guard<std::mutex> guard(gl.lock);
}
