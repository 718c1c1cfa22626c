// The service runtime: ServiceMain's steps and the control handler, once for both platforms.
#include "service/ServiceRuntime.h"

#include "base/WinError.h"
#include "diag/Log.h"

#include <utility>

namespace ZEPMaintenance {

namespace {

// The dispatcher and the control handler reach the runtime through plain functions.
ServiceRuntime* currentRuntime = nullptr;

void MainEntry(const std::vector<std::wstring>& arguments) {
    if (currentRuntime != nullptr) {
        currentRuntime->ServiceMain(arguments);
    }
}

void ControlEntry(uint32_t control) {
    if (currentRuntime != nullptr) {
        currentRuntime->ControlHandler(control);
    }
}

constexpr uint32_t kStartFailedExitCode = 0xFFFFFFFF;

} // namespace

ServiceRuntime::ServiceRuntime(std::wstring serviceName, ServiceBody& body, ServiceControlPort& port)
    : serviceName_(std::move(serviceName)), body_(body), port_(port) {}

ServiceRuntime::~ServiceRuntime() {
    if (currentRuntime == this) {
        currentRuntime = nullptr;
    }
}

uint32_t ServiceRuntime::Dispatch() {
    currentRuntime = this;
    const uint32_t result = port_.Dispatch(serviceName_, &MainEntry);
    currentRuntime = nullptr;
    return result;
}

template <class Change> void ServiceRuntime::Report(Change change) {
    const std::lock_guard held(lock_);
    change(status_);
    port_.ReportStatus(status_);
}

ServiceStatus ServiceRuntime::Status() const {
    const std::lock_guard held(lock_);
    return status_;
}

void ServiceRuntime::ServiceMain(const std::vector<std::wstring>& arguments) {
    {
        const std::lock_guard held(lock_);
        status_ = ServiceStatus{};
    }
    // Without a handler the manager cannot be told anything: it sees the service end.
    if (!port_.RegisterControlHandler(serviceName_, &ControlEntry)) {
        return;
    }
    if (!body_.OnStart(arguments)) {
        Report([](ServiceStatus& status) {
            status.currentState = ServiceState::kStopped;
            status.win32ExitCode = kStartFailedExitCode;
        });
        return;
    }
    Report([](ServiceStatus& status) { status.currentState = ServiceState::kRunning; });
    // The body runs once; a stop that came meanwhile has already reported stopped.
    while (Status().currentState == ServiceState::kRunning) {
        body_.Run();
        Report([](ServiceStatus& status) {
            status.currentState = ServiceState::kStopped;
            status.win32ExitCode = WinError::kSuccess;
        });
    }
}

void ServiceRuntime::ControlHandler(uint32_t control) {
    if (control == ServiceControl::kStop || control == ServiceControl::kShutdown) {
        mainLogger().InfoText(L"MaintenanceService Stop");
        Report([](ServiceStatus& status) {
            status.win32ExitCode = WinError::kSuccess;
            status.currentState = ServiceState::kStopped;
        });
        return;
    }
    Report([](ServiceStatus&) {});
}

uint32_t RunServiceDispatcher(const std::wstring& serviceName, ServiceBody& body) {
    ServiceRuntime runtime(serviceName, body, PlatformServiceControlPort());
    return runtime.Dispatch();
}

} // namespace ZEPMaintenance
