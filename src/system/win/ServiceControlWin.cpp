// Windows side of the service control manager's primitives: the SCM calls and the service object's
// security information.
#include "system/platform/ServicePrimitives.h"

#include "base/WinError.h"
#include "base/win/WinHandle.h"

namespace ZEPMaintenance::platform {

struct ServiceState {
    SC_HANDLE handle = nullptr;
};

void Destroy(ServiceState* state) noexcept {
    if (state->handle != nullptr) {
        CloseServiceHandle(state->handle);
    }
    delete state;
}

namespace {

constexpr DWORD kOwnProcess = SERVICE_WIN32_OWN_PROCESS;
constexpr DWORD kDemandStart = SERVICE_DEMAND_START;
constexpr DWORD kErrorNormal = SERVICE_ERROR_NORMAL;
constexpr DWORD kServiceAllAccess = SERVICE_ALL_ACCESS;

[[nodiscard]] uint32_t Keep(SC_HANDLE opened, ServiceHandle& handle) {
    if (opened == nullptr) {
        return GetLastError();
    }
    handle.Reset(new ServiceState{opened});
    return WinError::kSuccess;
}

} // namespace

uint32_t OpenServiceManager(uint32_t access, ServiceHandle& manager) {
    return Keep(OpenSCManagerW(nullptr, SERVICES_ACTIVE_DATABASEW, access), manager);
}

uint32_t CreateServiceRecord(const ServiceHandle& manager, const std::wstring& name,
                             const std::wstring& binaryPath, ServiceHandle& service) {
    if (!manager) {
        return WinError::kInvalidHandle;
    }
    // No account and no password: the service runs as LocalSystem.
    return Keep(CreateServiceW(manager->handle, name.c_str(), name.c_str(), kServiceAllAccess, kOwnProcess,
                               kDemandStart, kErrorNormal, binaryPath.c_str(), nullptr, nullptr, nullptr,
                               nullptr, nullptr),
                service);
}

uint32_t OpenServiceRecord(const ServiceHandle& manager, const std::wstring& name, uint32_t access,
                           ServiceHandle& service) {
    if (!manager) {
        return WinError::kInvalidHandle;
    }
    return Keep(OpenServiceW(manager->handle, name.c_str(), access), service);
}

uint32_t StartServiceRecord(const ServiceHandle& service, const std::vector<std::wstring>& arguments) {
    if (!service) {
        return WinError::kInvalidHandle;
    }
    std::vector<LPCWSTR> vector;
    vector.reserve(arguments.size());
    for (const std::wstring& argument : arguments) {
        vector.push_back(argument.c_str());
    }
    const BOOL started = StartServiceW(service->handle, static_cast<DWORD>(vector.size()),
                                       vector.empty() ? nullptr : vector.data());
    return started ? WinError::kSuccess : GetLastError();
}

uint32_t QueryServiceState(const ServiceHandle& service, uint32_t& state) {
    if (!service) {
        return WinError::kInvalidHandle;
    }
    SERVICE_STATUS status{};
    if (!QueryServiceStatus(service->handle, &status)) {
        return GetLastError();
    }
    state = status.dwCurrentState;
    return WinError::kSuccess;
}

uint32_t DeleteServiceRecord(const ServiceHandle& service) {
    if (!service) {
        return WinError::kInvalidHandle;
    }
    return DeleteService(service->handle) ? WinError::kSuccess : GetLastError();
}

uint32_t GetServiceDacl(const ServiceHandle& service, Dacl& dacl) {
    if (!service) {
        return WinError::kInvalidHandle;
    }
    PACL acl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    // GetSecurityInfo returns its error rather than setting the last error.
    const DWORD result = GetSecurityInfo(service->handle, SE_SERVICE, DACL_SECURITY_INFORMATION, nullptr,
                                         nullptr, &acl, nullptr, &descriptor);
    const LocalMemory heldDescriptor(descriptor);
    if (result != ERROR_SUCCESS) {
        return result;
    }
    if (acl == nullptr) {
        dacl = Dacl::Null();
        return WinError::kSuccess;
    }
    Dacl read;
    if (!Dacl::FromAclBytes(reinterpret_cast<const uint8_t*>(acl), acl->AclSize, read)) {
        return WinError::kInvalidSecurityDescriptor;
    }
    dacl = std::move(read);
    return WinError::kSuccess;
}

uint32_t SetServiceDacl(const ServiceHandle& service, const Dacl& dacl) {
    if (!service) {
        return WinError::kInvalidHandle;
    }
    std::vector<uint8_t> bytes = dacl.ToAclBytes();
    PACL acl = dacl.IsNull() ? nullptr : reinterpret_cast<PACL>(bytes.data());
    return SetSecurityInfo(service->handle, SE_SERVICE, DACL_SECURITY_INFORMATION, nullptr, nullptr, acl,
                           nullptr);
}

} // namespace ZEPMaintenance::platform
