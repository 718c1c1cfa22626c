// The platform primitives of the service control manager, implemented by win/ServiceControlWin.cpp and
// posix/ServiceControlPosix.cpp (the settings store's service records and the activation socket).
#pragma once

#include "base/UniqueHandle.h"
#include "system/Dacl.h"

#include <cstdint>
#include <string>
#include <vector>

namespace ZEPMaintenance::platform {

// A service manager or service handle: each platform defines what its state holds, released with it
// (CloseServiceHandle).
struct ServiceState;
void Destroy(ServiceState* state) noexcept;
using ServiceHandle = PlatformHandle<ServiceState*>;

// Each returns a Windows error number, 0 on success.
// OpenSCManagerW(local machine, active database, access).
[[nodiscard]] uint32_t OpenServiceManager(uint32_t access, ServiceHandle& manager);
// CreateServiceW: own process, on demand, error control normal, LocalSystem; the name is also the
// display name. 1073 when it exists.
[[nodiscard]] uint32_t CreateServiceRecord(const ServiceHandle& manager, const std::wstring& name,
                                           const std::wstring& binaryPath, ServiceHandle& service);
// OpenServiceW(manager, name, access). 1060 when there is none, 5 when its DACL denies the access.
[[nodiscard]] uint32_t OpenServiceRecord(const ServiceHandle& manager, const std::wstring& name,
                                         uint32_t access, ServiceHandle& service);
// StartServiceW with the arguments. 1056 while it runs, 5 when the caller may not start it.
[[nodiscard]] uint32_t StartServiceRecord(const ServiceHandle& service,
                                          const std::vector<std::wstring>& arguments);
inline constexpr uint32_t kServiceStopped = 1; // SERVICE_STOPPED

// QueryServiceStatus: the service's current state (SERVICE_STOPPED 1 ... SERVICE_RUNNING 4).
[[nodiscard]] uint32_t QueryServiceState(const ServiceHandle& service, uint32_t& state);
// DeleteService.
[[nodiscard]] uint32_t DeleteServiceRecord(const ServiceHandle& service);
// GetSecurityInfo / SetSecurityInfo(SE_SERVICE, DACL_SECURITY_INFORMATION).
[[nodiscard]] uint32_t GetServiceDacl(const ServiceHandle& service, Dacl& dacl);
[[nodiscard]] uint32_t SetServiceDacl(const ServiceHandle& service, const Dacl& dacl);

} // namespace ZEPMaintenance::platform
