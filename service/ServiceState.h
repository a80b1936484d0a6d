#pragma once
// Process-wide start-up state of the service, written by the start-up before
// the threads that read it run (the copy path is written once more, same text).

#include <atomic>
#include <cstdint>
#include <string>

struct ServiceState {
    std::string copyPath;    // <common app data>/ARDEQKestrova
    std::string executePath; // folder of the running executable
    uint32_t processId = 0;
    void (*finalFunction)() = nullptr;
    std::atomic<uint8_t> stopFlag{0};
};

extern ServiceState gService;

// The service version, logged, answered as "ServerVersion" and written to the
// version file.
inline constexpr const char* kKestrovaVersion = "1.0.22.0804";
