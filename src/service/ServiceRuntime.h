// The service runtime: the dispatcher, ServiceMain, the control handler and the status record
// reported to the service control manager. What the service does is the body's.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ZEPMaintenance {

// What one service run does: OnStart with the service arguments (false stops it with exit code -1),
// then Run once while it is running.
class ServiceBody {
public:
    virtual ~ServiceBody() = default;
    virtual bool OnStart(const std::vector<std::wstring>& arguments) = 0;
    virtual void Run() = 0;
};

// The status record, as SetServiceStatus takes it.
struct ServiceStatus {
    uint32_t serviceType = 0x30;
    uint32_t currentState = 2; // start pending; 4 running, 1 stopped
    uint32_t controlsAccepted = 5;
    uint32_t win32ExitCode = 0;
    uint32_t serviceSpecificExitCode = 0;
    uint32_t checkPoint = 0;
    uint32_t waitHint = 0;
};

namespace ServiceState {
inline constexpr uint32_t kStopped = 1;
inline constexpr uint32_t kStartPending = 2;
inline constexpr uint32_t kRunning = 4;
} // namespace ServiceState

// StartServiceCtrlDispatcherW with one entry {serviceName, ServiceMain running body}; returns when the
// service has stopped. The result is the dispatcher's Windows error number (0 on success).
uint32_t RunServiceDispatcher(const std::wstring& serviceName, ServiceBody& body);

} // namespace ZEPMaintenance
