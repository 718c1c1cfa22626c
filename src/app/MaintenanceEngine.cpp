// Maintenance's engine operations and the loader's listener: each forwarded with what it uses.
#include "app/Maintenance.h"

#include "ui/GuiListener.h"
#include "upgrade/HostUpdate.h"
#include "upgrade/MsiUpdate.h"

namespace ZEPMaintenance {

RollbackSchedule Maintenance::Schedule() {
    return RollbackSchedule{RollbackValueName(GetServiceName()), lang};
}

EngineLayout Maintenance::Engine() {
    return layout.WithEnvironment(EnvironmentName());
}

std::wstring Maintenance::ReplaceInstallPathPlaceholder(const std::wstring& text) const {
    return layout.WithInstallPath(text);
}

void Maintenance::DoHostUpdate() {
    upgrade::DoHostUpdate(Engine(), HostUpdateRun{hostProcessId, Schedule()}, *this, logger);
}

void Maintenance::DoMsiUpdate() {
    upgrade::DoMsiUpdate(Engine(), MsiUpdateRun{hostProcessId, msiPath, msiMethod, msiParameters, msiTimeout},
                         *this, logger);
}

void Maintenance::WaitForHostProcessToClose() {
    upgrade::WaitForHostProcessToClose(hostProcessId, *this, logger);
}

void Maintenance::PrepareRollback() {
    upgrade::PrepareRollback(Engine(), Schedule(), logger);
}

void Maintenance::RunRollback() {
    upgrade::RunRollback(Engine(), *this, logger);
}

void Maintenance::CleanupRollback() {
    upgrade::CleanupRollback(Engine(), Schedule().valueName, logger);
}

void Maintenance::UnscheduleRollback() {
    upgrade::UnscheduleRollback(Engine(), Schedule().valueName, logger);
}

void Maintenance::RemoveBackups() {
    upgrade::RemoveBackups(Engine(), logger);
}

void Maintenance::CopyNewFiles(std::wstring relativePath, CopyKind kind, ConfigFile& manifest) {
    upgrade::CopyNewFiles(Engine(), relativePath, kind, manifest, *this, logger);
}

void Maintenance::ListenOnGuiPipe(Dialog& dialog) {
    const GuiListening listening{guiPipeName, lang, guiPipeConnectLimitMs};
    // The loader made its pipe before it named it to the worker; the one made here is for anyone else.
    if (guiPipeServer && guiPipeServer->GetName() == guiPipeName) {
        const std::unique_ptr<PipeServer> server = std::move(guiPipeServer);
        ui::ListenOnGuiPipe(dialog, *server, listening, logger);
        return;
    }
    ui::ListenOnGuiPipe(dialog, listening, logger);
}

} // namespace ZEPMaintenance
