// Maintenance::Install and Uninstall: the settings key, the maintenance service and the autorun value.
#include "app/Maintenance.h"

#include "app/LogonAutostart.h"
#include "base/Platform.h"
#include "base/WinError.h"
#include "diag/IMException.h"
#include "ipc/PipePrimitives.h"
#include "service/Service.h"
#include "system/Permissions.h"
#include "system/Text.h"
#include "system/WinRegistryKey.h"
#include "upgrade/InstalledProduct.h"

namespace ZEPMaintenance {

namespace {

constexpr const wchar_t* kRunKey = L"software\\microsoft\\windows\\currentversion\\run";
// READ_CONTROL | SERVICE_STOP | SERVICE_START | SERVICE_QUERY_STATUS: every user may start the service.
constexpr uint32_t kUsersServiceAccess = 0x20034;

std::wstring AutorunValueName(const std::wstring& serviceName) {
    return serviceName + L" - Z.EP PKIService Registry";
}

// The key is always there on Windows; a fresh Linux machine root may not have it yet.
void OpenOrCreate(WinRegistryKey& key, const std::wstring& path) {
    if (key.KeyExists(WinRegistryKey::LocalMachine, path)) {
        key.Open(WinRegistryKey::LocalMachine, path, true);
    } else {
        key.CreateKey(WinRegistryKey::LocalMachine, path);
    }
}

} // namespace

void Maintenance::Install() {
    if (!environmentSet) {
        environment = static_cast<int32_t>(EnvironmentKind::Product);
        environmentSet = true;
    }
    const std::wstring program = GetModuleFilename();
    // The folder updates and rollbacks may touch: the one the administrator names, or the program's own.
    Directory product;
    product.SetFullPath(HasArgument(arguments, L"-pp") ? GetArgument(arguments, L"-pp")
                                                       : GetDirectoryPart(program));

    WinRegistryKey settings;
    OpenOrCreate(settings, GetProductRegistryKeyPath());
    settings.SetStringValue(L"path", program);
    settings.SetStringValue(kProductPathValue, product.GetFullPath());
    settings.Close();

    const std::wstring serviceName = GetServiceName();
    Service service;
    service.Install(serviceName, program, L"-mode service");
    Permissions permissions = service.GetPermissions();
    permissions.AddAllowedAce(CSid::Users(), kUsersServiceAccess);
    service.SetPermissions(permissions);
    // Where the platform does not run Run and RunOnce at logon, the logon run beside the program does:
    // the rollback an update schedules needs it.
    WriteLogonAutostart(GetModuleDirectory() + platform::kPathSeparator + L"zeprun");
    // Each loader makes its GUI pipe in that folder, with a user's rights.
    if (const uint32_t error = platform::PreparePipeFolder(); error != WinError::kSuccess) {
        logger.Error(L"Install: The pipe folder cannot be made. (lastError: %d)", error);
        ThrowIMException(ErrorCode::kPipeCreateFailed);
    }

    if (setupCompanionRegistry) {
        WinRegistryKey run;
        OpenOrCreate(run, kRunKey);
        // Unquoted, as the platform's Run values of this program have always been.
        run.SetStringValue(AutorunValueName(serviceName),
                           program + L" -mode loader -op refreshZEPPKIServiceRegistryKeys");
    }
}

void Maintenance::Uninstall() {
    const std::wstring settingsKey = GetProductRegistryKeyPath();
    WinRegistryKey settings;
    if (settings.KeyExists(WinRegistryKey::LocalMachine, settingsKey)) {
        settings.DeleteKey(WinRegistryKey::LocalMachine, settingsKey);
    }

    const std::wstring serviceName = GetServiceName();
    Service service;
    service.Open(serviceName, true);
    service.UnInstall();
    RemoveLogonAutostart();

    if (setupCompanionRegistry) {
        WinRegistryKey run;
        // A missing value fails here (125) as on Windows, where the key itself always exists.
        OpenOrCreate(run, kRunKey);
        run.DeleteValue(AutorunValueName(serviceName));
    }
}

} // namespace ZEPMaintenance
