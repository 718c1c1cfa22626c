// Maintenance::ProcessLoaderMode and ProcessWorkerMode: what each run mode does with its operation.
#include "app/Maintenance.h"
#include "base/Platform.h"
#include "diag/IMException.h"
#include "service/Service.h"
#include "system/Text.h"
#include "ui/Dialog.h"
#include "upgrade/InstalledProduct.h"

#include <atomic>
#include <optional>

namespace ZEPMaintenance {

namespace {

constexpr const wchar_t* kPipePrefix = L"\\\\.\\pipe\\";

} // namespace

void StartInstalledService(const std::wstring& serviceName, const std::vector<std::wstring>& arguments) {
    Service service;
    service.Open(serviceName, false);
    service.Start(arguments);
}

void StartElevatedProcess(const std::wstring& file, const std::wstring& parameters,
                          const std::wstring& directory, int32_t waitSeconds) {
    WinProcess process;
    process.Start(file, parameters, directory, true);
    if (waitSeconds > 0) {
        process.WaitToClose(waitSeconds);
    }
}

void WaitForInstalledServiceToStop(const std::wstring& serviceName) {
    Service service;
    service.Open(serviceName, false);
    service.WaitUntilStopped(kRefreshWaitSeconds * 1000);
}

std::wstring RandomGuiPipeSuffix() {
    const std::string hex = platform::RandomHex(8);
    return std::wstring(hex.begin(), hex.end());
}

int32_t Maintenance::ProcessLoaderMode() {
    switch (op) {
    case Operation::Install:
    case Operation::Uninstall:
        try {
            StartWorker(true);
        } catch (const IMException& e) {
            logger.Error(L"ProcessWorkerMode: StartWorker failed. (exCode: %d, exText: %ls)",
                         e.GetErrorNumber(), e.GetErrorDescription());
            return -1;
        }
        return 0;
    case Operation::Rollback:
    case Operation::Update:
    case Operation::MsiUpdate:
    case Operation::RefreshZEPPKIServiceRegistryKeys:
        return RunLoaderThroughService();
    case Operation::None:
        break;
    }
    return 0;
}

int32_t Maintenance::RunLoaderThroughService() {
    const bool withDialog = op != Operation::RefreshZEPPKIServiceRegistryKeys;
    std::atomic<bool> ready{false};
    Dialog dialog(ready);
    if (withDialog) {
        dialog.InitDialogThread();
        // A dialog that cannot be shown ends its thread: the run goes on without it.
        while (!ready.load() && !dialog.HasEnded()) {
            SleepMilliseconds(kDialogReadyPollMs);
        }
        dialog.SetLanguage(lang);
    }

    int32_t result = 0;
    try {
        StartIMService();
    } catch (const IMException& e) {
        logger.Error(L"ProcessWorkerMode: StartIMService failed. (exCode: %d, exText: %ls)",
                     e.GetErrorNumber(), e.GetErrorDescription());
        guiPipeServer.reset();
        if (!withDialog) {
            return -1;
        }
        // No worker will come: the user learns that the update failed and closes the dialog.
        dialog.SetStatus(GuiTextIn(GuiText::UpdateFailed, lang));
        result = -1;
    }

    if (!withDialog) {
        try {
            waitForService(GetServiceName());
        } catch (const IMException& e) {
            // The refresh may still run; its worker then finds no loader and refuses.
            logger.Warn(L"ProcessLoaderMode: The service's end cannot be awaited. (exCode: %d)",
                        e.GetErrorNumber());
        }
        return 0;
    }
    if (withDialog) {
        if (result == 0) {
            try {
                ListenOnGuiPipe(dialog);
            } catch (const IMException& e) {
                // The listener has shown the failure; the user still closes the dialog.
                logger.Error(L"ProcessLoaderMode: ListenOnGuiPipe failed. (exCode: %d, exText: %ls)",
                             e.GetErrorNumber(), e.GetErrorDescription());
                result = -1;
            }
        }
        dialog.EnableOk();
        dialog.WaitForEnd();
    }
    return result;
}

ArgumentMap Maintenance::PrepareServiceArguments() {
    ArgumentMap copy = arguments;
    SetIntArgument(copy, L"-lpid", static_cast<int32_t>(platform::CurrentProcessId()));
    std::wstring name = GenerateGuiPipeName();
    if (op == Operation::Rollback || op == Operation::Update || op == Operation::MsiUpdate) {
        CreateGuiPipe();
        name = guiPipeName.substr(std::wstring(kPipePrefix).size());
        copy[L"-guiPipe"] = name;
    }
    WinProcess self;
    self.OpenCurrentProcess();
    copy[L"-usid"] = self.GetOwner().Sid();
    logger.Info(L"StartIMService: Arguments for service prepared. (cmdline: %ls)", BuildCommandLine(copy));
    return copy;
}

std::vector<std::wstring> Maintenance::ServiceArgumentVector(const ArgumentMap& serviceArguments) {
    std::vector<std::wstring> vector;
    vector.reserve(serviceArguments.size() * 2);
    for (const auto& [key, value] : serviceArguments) {
        vector.push_back(key);
        vector.push_back(value);
    }
    return vector;
}

void Maintenance::CreateGuiPipe() {
    for (int attempt = 1;; ++attempt) {
        auto server = std::make_unique<PipeServer>();
        if (server->CreateNew(guiPipeName, ReadMode)) {
            guiPipeServer = std::move(server);
            return;
        }
        if (attempt == kGuiPipeNameAttempts) {
            logger.Error(L"StartIMService: No free GUI pipe name was found. (guiPipeName: %ls, attempts: %d)",
                         guiPipeName, attempt);
            ThrowIMException(ErrorCode::kPipeCreateFailed);
        }
        // The first name is predictable (the process id and a number seeded by the clock), so anyone may
        // have planted an object under it; the next ones are not.
        const std::wstring taken = guiPipeName;
        guiPipeName = std::wstring(kPipePrefix) + L"ZEPMaintenance_" +
                      std::to_wstring(platform::CurrentProcessId()) + L"_" + freshGuiPipeSuffix();
        logger.Warn(
            L"StartIMService: GUI pipe name is taken, a fresh one is drawn. (taken: %ls, guiPipeName: "
            L"%ls, attempt: %d)",
            taken, guiPipeName, attempt);
    }
}

void Maintenance::StartIMService() {
    const ArgumentMap serviceArguments = PrepareServiceArguments();
    startService(GetServiceName(), ServiceArgumentVector(serviceArguments));
}

void Maintenance::StartWorker(bool addLoaderPid) {
    ArgumentMap copy = arguments;
    copy[L"-mode"] = L"worker";
    if (addLoaderPid) {
        SetIntArgument(copy, L"-lpid", static_cast<int32_t>(platform::CurrentProcessId()));
    }
    const std::wstring program = GetModuleFilename();
    // The service waits for a refresh's worker, whose loader waits for the service (kRefreshWaitSeconds).
    const bool awaited = mode == RunMode::Service && op == Operation::RefreshZEPPKIServiceRegistryKeys;
    startElevated(program, BuildCommandLine(copy), GetDirectoryPart(program),
                  awaited ? kRefreshWaitSeconds : 0);
}

bool Maintenance::ProcessServiceWorkerLoop() {
    switch (op) {
    case Operation::RefreshZEPPKIServiceRegistryKeys:
    case Operation::Rollback:
    case Operation::Update:
    case Operation::MsiUpdate:
        try {
            // The loader's -lpid, -usid and -guiPipe go on as they came.
            StartWorker(false);
        } catch (const IMException& e) {
            logger.Error(L"ProcessServiceWorkerLoop: StartWorker failed. (exCode: %d, exText: %ls)",
                         e.GetErrorNumber(), e.GetErrorDescription());
        }
        break;
    default:
        break;
    }
    return false;
}

int32_t Maintenance::ProcessWorkerMode() {
    switch (op) {
    case Operation::Rollback:
        return RunWorkerRollback();
    case Operation::Update:
        return RunWorkerUpdate();
    case Operation::Install:
        try {
            Install();
            logger.InfoText(L"ProcessWorkerMode: Z.EP Maintenance2 installed.");
            return 0;
        } catch (const IMException& e) {
            logger.Error(L"ProcessWorkerMode: Install failed. (exCode: %d, exText: %ls)", e.GetErrorNumber(),
                         e.GetErrorDescription());
            return -1;
        }
    case Operation::Uninstall:
        try {
            Uninstall();
            logger.InfoText(L"ProcessWorkerMode: Z.EP Maintenance uninstalled.");
            return 0;
        } catch (const IMException& e) {
            logger.Error(L"ProcessWorkerMode: Uninstall failed. (exCode: %d, exText: %ls)",
                         e.GetErrorNumber(), e.GetErrorDescription());
            return -1;
        }
    case Operation::RefreshZEPPKIServiceRegistryKeys:
        try {
            RefreshZEPPKIServiceRegistryKeys();
            logger.InfoText(L"ProcessWorkerMode: ZEPPKIServiceRegistryKeys refreshed.");
            return 0;
        } catch (const IMException& e) {
            logger.Error(
                L"ProcessWorkerMode: RefreshZEPPKIServiceRegistryKeys failed. (exCode: %d, exText: %ls)",
                e.GetErrorNumber(), e.GetErrorDescription());
            return -1;
        }
    case Operation::MsiUpdate:
        return RunWorkerMsiUpdate();
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
    return RunWorkerUpdating([this] {
        try {
            upgrade::RequireInstalledProduct(Engine(), logger);
        } catch (const IMException&) {
            ShowText(GuiText::UpdateFailed);
            throw;
        }
        DoHostUpdate();
    });
}

int32_t Maintenance::RunWorkerMsiUpdate() {
    return RunWorkerUpdating([this] { DoMsiUpdate(); });
}

int32_t Maintenance::RunWorkerUpdating(const std::function<void()>& update) {
    try {
        ConnectGuiPipe();
        update();
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
