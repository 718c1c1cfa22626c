// Maintenance::ProcessLoaderMode and ProcessWorkerMode: what each run mode does with its operation.
#include "app/Maintenance.h"
#include "diag/IMException.h"
#include "upgrade/InstalledProduct.h"

#include <optional>

namespace ZEPMaintenance {

namespace {

const wchar_t* OperationName(Operation op) {
    switch (op) {
    case Operation::RefreshZEPPKIServiceRegistryKeys:
        return L"refreshZEPPKIServiceRegistryKeys";
    case Operation::Install:
        return L"install";
    case Operation::Uninstall:
        return L"uninstall";
    case Operation::MsiUpdate:
        return L"msiUpdate";
    default:
        return L"";
    }
}

} // namespace

int32_t Maintenance::ProcessLoaderMode() {
    logger.Error(L"ProcessLoaderMode: Loader mode is not available in this build.");
    return -1;
}

void Maintenance::StartIMService() {
    logger.Error(L"StartIMService: The maintenance service is not available in this build.");
    ThrowIMException(ErrorCode::kServiceOpenFailed);
}

void Maintenance::StartWorker(bool /*addLoaderPid*/) {
    logger.Error(L"StartWorker: Starting the worker is not available in this build.");
    ThrowIMException(ErrorCode::kFileNotFound);
}

bool Maintenance::ProcessServiceWorkerLoop() {
    logger.Error(L"ProcessServiceWorkerLoop: Starting the worker is not available in this build.");
    return false;
}

int32_t Maintenance::ProcessWorkerMode() {
    switch (op) {
    case Operation::Rollback:
        return RunWorkerRollback();
    case Operation::Update:
        return RunWorkerUpdate();
    case Operation::RefreshZEPPKIServiceRegistryKeys:
    case Operation::Install:
    case Operation::Uninstall:
    case Operation::MsiUpdate:
        logger.Error(L"ProcessWorkerMode: Operation %ls is not available in this build.", OperationName(op));
        return -1;
    case Operation::None:
        break;
    }
    return 0;
}

void Maintenance::ConnectGuiPipe() {
    if (guiPipeName.empty()) {
        logger.ErrorText(L"ProcessWorkerMode: GUI pipe not set.");
        ThrowIMException(ErrorCode::kArgumentError);
    }
    // No -usid: only an administrator's pipe.
    guiPipe.Connect(guiPipeName, WriteMode, userSid.IsValid() ? std::optional(userSid) : std::nullopt);
}

int32_t Maintenance::RunWorkerRollback() {
    try {
        ConnectGuiPipe();
        upgrade::RequireInstalledProduct(Engine(), logger);
        RunRollback();
        CleanupRollback();
        logger.InfoText(L"ProcessWorkerMode: Rollback successfully done");
        Send(GuiMessageId::EnableOk, L"");
        guiPipe.Close();
        return 0;
    } catch (const IMException& e) {
        logger.Error(L"ProcessWorkerMode: Rollback failed. (exCode: %d, exText: %ls)", e.GetErrorNumber(),
                     e.GetErrorDescription());
        ShowText(GuiText::RollbackFailed);
        Send(GuiMessageId::EnableOk, L"");
        guiPipe.Close();
        return -1;
    }
}

int32_t Maintenance::RunWorkerUpdate() {
    try {
        ConnectGuiPipe();
        try {
            upgrade::RequireInstalledProduct(Engine(), logger);
        } catch (const IMException&) {
            ShowText(GuiText::UpdateFailed);
            throw;
        }
        DoHostUpdate();
        Send(GuiMessageId::CloseDialog, L"");
        guiPipe.Close();
        return 0;
    } catch (const IMException& e) {
        logger.Error(L"ProcessWorkerMode: Update failed. (exCode: %d, exText: %ls)", e.GetErrorNumber(),
                     e.GetErrorDescription());
        Send(GuiMessageId::EnableOk, L"");
        guiPipe.Close();
        return -1;
    }
}

} // namespace ZEPMaintenance
