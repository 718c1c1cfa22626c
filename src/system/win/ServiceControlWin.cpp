// The Windows side of the service control manager's primitives: not built yet, every call fails.
#include "system/platform/ServicePrimitives.h"

#include "base/WinError.h"

namespace ZEPMaintenance::platform {

struct ServiceState {};

void Destroy(ServiceState* state) noexcept {
    delete state;
}

uint32_t OpenServiceManager(uint32_t /*access*/, ServiceHandle& /*manager*/) {
    return WinError::kNotSupported;
}
uint32_t CreateServiceRecord(const ServiceHandle&, const std::wstring&, const std::wstring&, ServiceHandle&) {
    return WinError::kNotSupported;
}
uint32_t OpenServiceRecord(const ServiceHandle&, const std::wstring&, uint32_t, ServiceHandle&) {
    return WinError::kNotSupported;
}
uint32_t StartServiceRecord(const ServiceHandle&, const std::vector<std::wstring>&) {
    return WinError::kNotSupported;
}
uint32_t DeleteServiceRecord(const ServiceHandle&) {
    return WinError::kNotSupported;
}
uint32_t GetServiceDacl(const ServiceHandle&, Dacl&) {
    return WinError::kNotSupported;
}
uint32_t SetServiceDacl(const ServiceHandle&, const Dacl&) {
    return WinError::kNotSupported;
}

} // namespace ZEPMaintenance::platform
