// The maintenance service's body: its arguments parsed into the service's controller, then the worker
// started for the requested operation.
#pragma once

#include "service/ServiceRuntime.h"

namespace ZEPMaintenance {

class Maintenance;

class MaintenanceService final : public ServiceBody {
public:
    explicit MaintenanceService(Maintenance& controller) : controller_(controller) {}

    // The service arguments as an argument map, checked by the controller in service mode; false with the
    // error logged when they do not pass.
    bool OnStart(const std::vector<std::wstring>& arguments) override;
    void Run() override;

private:
    Maintenance& controller_;
};

} // namespace ZEPMaintenance
