// The server end of a named pipe: creates the pipe and waits for its one client.
#pragma once

#include "diag/Logger.h"
#include "ipc/Pipe.h"

#include <cstdint>
#include <string>

namespace ZEPMaintenance {

class PipeServer : public Pipe {
public:
    PipeServer();
    ~PipeServer() override;

    // name is the full pipe path (\\.\pipe\...); 100 when empty, 147 when the pipe cannot be made.
    void Create(const std::wstring& name, uint32_t mode);
    // Create, except that a name something else already holds (the pipe of another process, an object
    // planted under it) gives false with a warning, so that the caller may draw another name.
    bool CreateNew(const std::wstring& name, uint32_t mode);
    // Waits until an administrator's process has connected, then starts the threads of the mode; any
    // other client is dropped unread and the wait goes on. The wait ends with 148 after milliseconds,
    // or at once when the pipe is closed, from any thread, before or during it.
    void Bind(uint32_t milliseconds = kWaitForever);

private:
    uint32_t Make(const std::wstring& name, uint32_t mode);

    // WaitForClient until a client that is an administrator's has come, within milliseconds in all.
    uint32_t AwaitAdministrator(const platform::PipeHandle& pipe, uint32_t milliseconds);

    Logger logger{L"PipeServer"};
};

} // namespace ZEPMaintenance
