#pragma once
// Shared by the fuzz targets: input as a zero-terminated text, and logging
// switched "ready" with a threshold below the level of every line, so the
// paths that only run while logging is on (the parameter dump with its masks)
// are exercised without writing a log file.

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/runtime/Log.h"
#include "common/runtime/QXLog.h"

namespace fuzz {

inline void quietLogging() {
    QXLogSet("/tmp/kestrova-fuzz-never-written.log", 1);
    exchangeLogReady(true);
}

// The input up to its first zero byte, as the callers see a text.
inline std::string asText(const uint8_t* data, size_t size) {
    return std::string(reinterpret_cast<const char*>(data), size).c_str();
}

} // namespace fuzz
