// The service runtime: not built yet, the dispatcher fails.
#include "service/ServiceRuntime.h"

#include "base/WinError.h"

namespace ZEPMaintenance {

uint32_t RunServiceDispatcher(const std::wstring& /*serviceName*/, ServiceBody& /*body*/) {
    return WinError::kFailedServiceControllerConnect;
}

} // namespace ZEPMaintenance
