// MaintenanceService: OnStart and the one run of the service's body.
#include "app/MaintenanceService.h"

#include "app/ArgumentMap.h"
#include "app/Maintenance.h"
#include "diag/IMException.h"
#include "diag/Log.h"

namespace ZEPMaintenance {

bool MaintenanceService::OnStart(const std::vector<std::wstring>& arguments) {
    mainLogger().InfoText(L"MaintenanceService Start");
    try {
        std::vector<const wchar_t*> vector;
        vector.reserve(arguments.size());
        for (const std::wstring& argument : arguments) {
            vector.push_back(argument.c_str());
        }
        ArgumentMap map;
        SplitArgumentVector(static_cast<int>(vector.size()), vector.data(), map);
        controller_.mode = RunMode::Service;
        controller_.ParseArguments(map);
        return true;
    } catch (const IMException& e) {
        mainLogger().Error(L"MaintenanceService::OnStart: Exception occured (exCode: %d, exText: %ls)",
                           e.GetErrorNumber(), e.GetErrorDescription());
    } catch (...) {
        mainLogger().ErrorText(L"MaintenanceService::OnStart: Unknown exception occured");
    }
    return false;
}

void MaintenanceService::Run() {
    controller_.ProcessServiceWorkerLoop();
}

} // namespace ZEPMaintenance
