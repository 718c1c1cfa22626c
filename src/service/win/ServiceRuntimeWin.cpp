// Windows side of the service runtime: the dispatcher, the control handler's registration and the status
// reports, through the service control manager.
#include "service/ServiceRuntime.h"

#include "base/WinError.h"
#include "base/win/WinHeaders.h"

namespace ZEPMaintenance {

namespace {

// The manager calls plain WINAPI functions; each forwards to the runtime's entry.
ServiceControlPort::MainEntry mainEntry = nullptr;
ServiceControlPort::ControlEntry controlEntry = nullptr;
SERVICE_STATUS_HANDLE statusHandle = nullptr;

void WINAPI ServiceMainW(DWORD count, LPWSTR* vector) {
    std::vector<std::wstring> arguments;
    arguments.reserve(count);
    for (DWORD i = 0; i < count; ++i) {
        arguments.emplace_back(vector[i] != nullptr ? vector[i] : L"");
    }
    if (mainEntry != nullptr) {
        mainEntry(arguments);
    }
}

void WINAPI ServiceControlHandlerW(DWORD control) {
    if (controlEntry != nullptr) {
        controlEntry(control);
    }
}

class WinServiceControlPort final : public ServiceControlPort {
public:
    uint32_t Dispatch(const std::wstring& name, MainEntry main) override {
        mainEntry = main;
        std::wstring serviceName = name;
        SERVICE_TABLE_ENTRYW table[] = {{serviceName.data(), &ServiceMainW}, {nullptr, nullptr}};
        const uint32_t result = StartServiceCtrlDispatcherW(table) ? WinError::kSuccess : GetLastError();
        mainEntry = nullptr;
        return result;
    }

    bool RegisterControlHandler(const std::wstring& name, ControlEntry handler) override {
        controlEntry = handler;
        statusHandle = RegisterServiceCtrlHandlerW(name.c_str(), &ServiceControlHandlerW);
        return statusHandle != nullptr;
    }

    void ReportStatus(const ServiceStatus& status) override {
        SERVICE_STATUS native{};
        native.dwServiceType = status.serviceType;
        native.dwCurrentState = status.currentState;
        native.dwControlsAccepted = status.controlsAccepted;
        native.dwWin32ExitCode = status.win32ExitCode;
        native.dwServiceSpecificExitCode = status.serviceSpecificExitCode;
        native.dwCheckPoint = status.checkPoint;
        native.dwWaitHint = status.waitHint;
        SetServiceStatus(statusHandle, &native);
    }
};

} // namespace

ServiceControlPort& PlatformServiceControlPort() {
    static WinServiceControlPort port;
    return port;
}

} // namespace ZEPMaintenance
