// The controller of one run: its mode, the checked options and the objects it owns.
#pragma once

#include "app/ArgumentMap.h"
#include "diag/Logger.h"
#include "system/CSid.h"

#include <cstdint>
#include <string>

namespace ZEPMaintenance {

enum class RunMode : int32_t { Loader = 0, Service = 1, Worker = 2, Notifier = 3 };

enum class Operation : int32_t {
    None = 0,
    Rollback = 1,
    Update = 2,
    RefreshZEPPKIServiceRegistryKeys = 3,
    Install = 4,
    Uninstall = 5,
    MsiUpdate = 6,
};

enum class EnvironmentKind : int32_t { Product = 0, Test = 1, Development = 2 };

class Maintenance {
public:
    Maintenance();
    Maintenance(const Maintenance&) = delete;
    Maintenance& operator=(const Maintenance&) = delete;

    // Checks the options in their fixed order and stores them; throws on the first error.
    void ParseArguments(const ArgumentMap& arguments);

    int32_t ProcessLoaderMode();
    int32_t ProcessWorkerMode();

    RunMode mode = RunMode::Loader;
    ArgumentMap arguments;
    Operation op = Operation::None;
    int32_t lang = 0;
    std::wstring guiPipeName;
    int32_t environment = 0;
    bool environmentSet = false;
    CSid userSid;
    bool setupCompanionRegistry = false;
    int32_t hostProcessId = 0;
    std::wstring msiPath;
    std::wstring msiMethod;
    std::wstring msiParameters;
    int32_t msiTimeout = -1;

private:
    Logger logger{L"Maintenance"};
};

} // namespace ZEPMaintenance
