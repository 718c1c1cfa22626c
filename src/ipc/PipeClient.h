// The client end of a named pipe: opens a pipe that a server made, retrying while it is not there yet.
#pragma once

#include "diag/Logger.h"
#include "ipc/Pipe.h"

#include <cstdint>
#include <functional>
#include <string>

namespace ZEPMaintenance {

// Waits the given time; the program sleeps, tests count.
using Pause = std::function<void(uint32_t milliseconds)>;
void SleepMilliseconds(uint32_t milliseconds);

// The waits of Connect: the pause after an attempt that found no pipe, and the wait for a busy one.
struct ConnectTiming {
    Pause pause = SleepMilliseconds;
    uint32_t retryPauseMs = 1000;
    uint32_t busyWaitMs = 5000;
};

class PipeClient : public Pipe {
public:
    PipeClient();
    explicit PipeClient(ConnectTiming timing);
    ~PipeClient() override;

    // name is the full pipe path (\\.\pipe\...). Up to five attempts, a pause after each that finds no
    // pipe; 100 for an empty name, 149 when the pipe was not opened.
    void Connect(const std::wstring& name, uint32_t mode);

private:
    ConnectTiming timing_;
    Logger logger{L"PipeClient"};
};

} // namespace ZEPMaintenance
