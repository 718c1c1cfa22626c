// The service runtime: the dispatcher, ServiceMain, the control handler and the status record
// reported to the service control manager. What the service does is the body's.
#pragma once

#include <cstdint>
#include <mutex>
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

    bool operator==(const ServiceStatus&) const = default;
};

namespace ServiceState {
inline constexpr uint32_t kStopped = 1;
inline constexpr uint32_t kStartPending = 2;
inline constexpr uint32_t kRunning = 4;
} // namespace ServiceState

namespace ServiceControl {
inline constexpr uint32_t kStop = 1;
inline constexpr uint32_t kInterrogate = 4;
inline constexpr uint32_t kShutdown = 5;
} // namespace ServiceControl

// The calls the runtime makes to the service control manager; the platform's are in service/win and
// service/posix, tests put their own in.
class ServiceControlPort {
public:
    using MainEntry = void (*)(const std::vector<std::wstring>& arguments);
    using ControlEntry = void (*)(uint32_t control);

    virtual ~ServiceControlPort() = default;
    // StartServiceCtrlDispatcherW with {name, main}: returns once the service has stopped; a Windows
    // error number.
    [[nodiscard]] virtual uint32_t Dispatch(const std::wstring& name, MainEntry main) = 0;
    // RegisterServiceCtrlHandlerW; false when it failed.
    [[nodiscard]] virtual bool RegisterControlHandler(const std::wstring& name, ControlEntry handler) = 0;
    // SetServiceStatus with the whole record.
    virtual void ReportStatus(const ServiceStatus& status) = 0;
};

// ServiceMain and the control handler over one port and one body. The platform calls both through
// plain functions, so the runtime in use is process-wide.
class ServiceRuntime {
public:
    ServiceRuntime(std::wstring serviceName, ServiceBody& body, ServiceControlPort& port);
    ~ServiceRuntime();
    ServiceRuntime(const ServiceRuntime&) = delete;
    ServiceRuntime& operator=(const ServiceRuntime&) = delete;

    // Runs the dispatcher with this runtime as the process's service; its Windows error number.
    [[nodiscard]] uint32_t Dispatch();

    void ServiceMain(const std::vector<std::wstring>& arguments);
    void ControlHandler(uint32_t control);

    ServiceStatus Status() const;

private:
    // Sets what change sets and reports the whole record; the lock keeps each report one state.
    template <class Change> void Report(Change change);

    std::wstring serviceName_;
    ServiceBody& body_;
    ServiceControlPort& port_;
    mutable std::mutex lock_;
    ServiceStatus status_;
};

// The platform's port: StartServiceCtrlDispatcherW and its companions.
ServiceControlPort& PlatformServiceControlPort();

// RunServiceDispatcher(name, body): the platform's dispatcher with ServiceMain running body; returns when
// the service has stopped, with the dispatcher's Windows error number (0 on success).
uint32_t RunServiceDispatcher(const std::wstring& serviceName, ServiceBody& body);

} // namespace ZEPMaintenance
