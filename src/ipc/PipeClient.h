// The client end of a named pipe: opens a pipe that a server made, retrying while it is not there yet.
#pragma once

#include "diag/Logger.h"
#include "ipc/Pipe.h"
#include "system/CSid.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace ZEPMaintenance {

// Waits the given time; the program sleeps, tests count.
using Pause = std::function<void(uint32_t milliseconds)>;
void SleepMilliseconds(uint32_t milliseconds);

// The client's waits: Connect's pause after an attempt that found no pipe and its wait for a busy one,
// and how long a write waits for a reader that takes nothing.
struct ClientTiming {
    Pause pause = SleepMilliseconds;
    uint32_t retryPauseMs = 1000;
    uint32_t busyWaitMs = 5000;
    uint32_t writeTimeoutMs = kPipeWriteTimeoutMs;
};

class PipeClient : public Pipe {
public:
    PipeClient();
    explicit PipeClient(ClientTiming timing);
    ~PipeClient() override;

    // name is the full pipe path (\\.\pipe\...). Up to five attempts, a pause after each that finds no
    // pipe; 100 for an empty name, 149 when the pipe was not opened. A pipe whose server is not server (the
    // Administrators or LocalSystem SID: any administrator; none: an administrator too) counts as no
    // pipe: 149, and nothing reaches it.
    void Connect(const std::wstring& name, uint32_t mode, const std::optional<CSid>& server = std::nullopt);

private:
    ClientTiming timing_;
    Logger logger{L"PipeClient"};
};

} // namespace ZEPMaintenance
