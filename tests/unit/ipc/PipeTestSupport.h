// Test support for the pipe tests: fresh pipe names, waiting for a message, counting the client's pauses.
#pragma once

#include "base/Platform.h"
#include "ipc/Pipe.h"
#include "ipc/PipeClient.h"
#include "support/MachineRoot.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace ZEPMaintenance::test {

// A pipe name no other test of this or another run uses.
inline std::wstring FreshPipeName() {
    static std::atomic<unsigned> counter{0};
    return L"\\\\.\\pipe\\ZEPMaintenanceTest_" + std::to_wstring(platform::CurrentProcessId()) + L"_" +
           std::to_wstring(counter++);
}

// Polls Read as the loader does until a message comes or the pipe closes. A wait that no handshake can
// end gives up after a minute, so that a broken pipe fails the test rather than hangs it.
inline bool NextMessage(Pipe& pipe, PipeMessage& message) {
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    while (std::chrono::steady_clock::now() < giveUp) {
        if (pipe.Read(message)) {
            return true;
        }
        if (pipe.IsClosed()) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

// The client's waits made short: each pause is recorded and runs what the test gives it.
struct CountedPauses {
    std::vector<uint32_t> pauses;
    std::function<void(std::size_t)> onPause = [](std::size_t) {};
    uint32_t busyWaitMs = 5000;
    uint32_t writeTimeoutMs = kPipeWriteTimeoutMs;

    ClientTiming Timing() {
        ClientTiming timing;
        timing.pause = [this](uint32_t milliseconds) {
            pauses.push_back(milliseconds);
            onPause(pauses.size());
        };
        timing.busyWaitMs = busyWaitMs;
        timing.writeTimeoutMs = writeTimeoutMs;
        return timing;
    }
};

} // namespace ZEPMaintenance::test
