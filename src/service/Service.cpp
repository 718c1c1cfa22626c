// Service: the service control manager's calls with their checks, lines and codes.
#include "service/Service.h"

#include "base/WinError.h"
#include "diag/IMException.h"
#include "system/File.h"

#include <chrono>
#include <thread>

namespace ZEPMaintenance {

void Service::CloseHandles() {
    if (opened) {
        service.Reset();
        manager.Reset();
        opened = false;
    }
}

void Service::RequireOpened(const wchar_t* operation) const {
    if (!opened) {
        logger.Error(L"%ls: Service is not opened. (serviceName: %ls, executablePath: %ls)", operation, name,
                     executablePath);
        ThrowIMException(ErrorCode::kServiceNotOpened);
    }
}

void Service::Install(const std::wstring& serviceName, const std::wstring& executable,
                      const std::wstring& arguments) {
    name = serviceName;
    File executableFile;
    executableFile.SetFullPath(executable);
    if (!executableFile.Exists()) {
        // A failed call leaves the object closed: the handles of an earlier Open belong to another name.
        CloseHandles();
        logger.Error(L"Install: Executable was not found (executablePath: %ls)", executable);
        ThrowIMException(ErrorCode::kFileNotFound, L"Requested executable file not found.");
    }
    executablePath = executable;
    std::wstring commandLine = L"\"" + executablePath + L"\"";
    if (!arguments.empty()) {
        commandLine += L" " + arguments;
    }
    CloseHandles();
    if (const uint32_t error = platform::OpenServiceManager(ServiceAccess::kManagerAllAccess, manager);
        error != WinError::kSuccess) {
        logger.Error(L"Install: OpenSCManager failed (lastError: %d)", error);
        ThrowIMException(ErrorCode::kServiceInstallFailed, L"OpenScManager failed");
    }
    if (const uint32_t error = platform::CreateServiceRecord(manager, name, commandLine, service);
        error != WinError::kSuccess) {
        logger.Error(L"Install: CreateService failed (lastError: %d)", error);
        manager.Reset();
        ThrowIMException(ErrorCode::kServiceInstallFailed, L"CreateService failed");
    }
    opened = true;
    logger.Info(L"Install: Service successfully installed. (serviceName: %ls, executablePath: %ls)", name,
                executablePath);
}

void Service::Open(const std::wstring& serviceName, bool fullAccess) {
    CloseHandles();
    name = serviceName;
    const uint32_t managerAccess =
        fullAccess ? ServiceAccess::kManagerAllAccess : ServiceAccess::kManagerConnectEnumerateRead;
    if (const uint32_t error = platform::OpenServiceManager(managerAccess, manager);
        error != WinError::kSuccess) {
        logger.Error(L"Open: OpenSCManager failed (lastError: %d)", error);
        ThrowIMException(ErrorCode::kServiceOpenFailed, L"OpenScManager failed");
    }
    const uint32_t serviceAccess =
        fullAccess ? ServiceAccess::kServiceAllAccess : ServiceAccess::kServiceQueryStartStop;
    if (const uint32_t error = platform::OpenServiceRecord(manager, name, serviceAccess, service);
        error != WinError::kSuccess) {
        logger.Error(L"Open: OpenService failed (lastError: %d)", error);
        manager.Reset();
        ThrowIMException(ErrorCode::kServiceOpenFailed, L"OpenService failed");
    }
    opened = true;
    logger.Info(L"Open: Service successfully opened. (serviceName: %ls)", name);
}

void Service::Start(const std::vector<std::wstring>& arguments) {
    RequireOpened(L"Start");
    if (const uint32_t error = platform::StartServiceRecord(service, arguments);
        error != WinError::kSuccess) {
        logger.Error(L"Start: Service start failed. (lastError: %d)", error);
        ThrowIMException(ErrorCode::kServiceStartFailed);
    }
    logger.Info(L"Start: Service start successfully invoked. (serviceName: %ls, executablePath: %ls)", name,
                executablePath);
}

bool Service::WaitUntilStopped(int32_t timeoutMs) {
    RequireOpened(L"WaitUntilStopped");
    constexpr int32_t kPollMs = 100;
    for (int32_t waited = 0;; waited += kPollMs) {
        uint32_t state = 0;
        if (const uint32_t error = platform::QueryServiceState(service, state); error != WinError::kSuccess) {
            logger.Warn(L"WaitUntilStopped: QueryServiceStatus failed. (lastError: %d)", error);
            return false;
        }
        if (state == platform::kServiceStopped) {
            return true;
        }
        if (waited >= timeoutMs) {
            logger.Warn(L"WaitUntilStopped: The service has not stopped. (serviceName: %ls, state: %u)", name,
                        state);
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
    }
}

void Service::UnInstall() {
    RequireOpened(L"UnInstall");
    if (const uint32_t error = platform::DeleteServiceRecord(service); error != WinError::kSuccess) {
        logger.Error(L"UnInstall: Service uninstall failed. (lastError: %d)", error);
        ThrowIMException(ErrorCode::kServiceUninstallFailed);
    }
    CloseHandles();
    logger.Info(L"UnInstall: Service uninstalled. (serviceName: %ls)", name);
}

Permissions Service::GetPermissions() {
    RequireOpened(L"GetPermissions");
    Permissions permissions;
    permissions.LoadPermissionsFromService(service);
    return permissions;
}

void Service::SetPermissions(const Permissions& permissions) {
    RequireOpened(L"SetPermissions");
    permissions.SavePermissionsToService(service);
}

} // namespace ZEPMaintenance
