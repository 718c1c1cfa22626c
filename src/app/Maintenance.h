// The controller of one run: its mode, the checked options and the objects it owns.
#pragma once

#include "app/ArgumentMap.h"
#include "diag/Logger.h"
#include "ipc/GuiProtocol.h"
#include "ipc/PipeClient.h"
#include "ipc/PipeServer.h"
#include "system/CSid.h"
#include "system/Directory.h"
#include "system/WinProcess.h"
#include "upgrade/CopyNewFiles.h"
#include "upgrade/EngineLayout.h"
#include "upgrade/Progress.h"
#include "upgrade/Rollback.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace ZEPMaintenance {

class ConfigFile;
class Dialog;
class IMException;

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

// The loader's two ways of handing a run on, as the system does them: the installed service started with
// the argument vector (107, 105, 106), and this program started elevated through the shell (111).
void StartInstalledService(const std::wstring& serviceName, const std::vector<std::wstring>& arguments);
// waitSeconds > 0: waits that long for the process to end.
void StartElevatedProcess(const std::wstring& file, const std::wstring& parameters,
                          const std::wstring& directory, int32_t waitSeconds);
// A refresh's loader and the service it starts stay until the worker has run, so that the worker finds
// the loader's process when it checks -lpid against -usid: the loader waits for the service to stop, the
// service for the worker to end, each up to kRefreshWaitSeconds.
inline constexpr int32_t kRefreshWaitSeconds = 60;
void WaitForInstalledServiceToStop(const std::wstring& serviceName);
// The part of a GUI pipe name drawn again when the first one is taken: from the system's cryptographic
// random source, so that no one can plant every name a loader might take.
std::wstring RandomGuiPipeSuffix();
// How many names the loader draws for its GUI pipe before it gives up (147).
inline constexpr int kGuiPipeNameAttempts = 16;
// How often the loader looks whether its dialog is on screen.
inline constexpr uint32_t kDialogReadyPollMs = 500;

// The controller of one run. Its engine operations are the engine's, given the run's layout, its
// progress on the GUI pipe and the controller's lines; as the worker it is the engine's progress.
class Maintenance : public Progress {
public:
    Maintenance();
    ~Maintenance() override;
    Maintenance(const Maintenance&) = delete;
    Maintenance& operator=(const Maintenance&) = delete;
    Maintenance(Maintenance&&) = delete;
    Maintenance& operator=(Maintenance&&) = delete;

    // Checks the options in their fixed order and stores them; throws on the first error.
    void ParseArguments(const ArgumentMap& arguments);

    int32_t ProcessLoaderMode();
    int32_t ProcessWorkerMode();
    // The loader's hand-over: the installed maintenance service started with this run's arguments, or the
    // worker started elevated (with this process's id as -lpid when addLoaderPid); both throw.
    void StartIMService();
    void StartWorker(bool addLoaderPid);
    // StartIMService's steps before the service is started: the copy of the arguments with -lpid, the
    // fresh -guiPipe (its pipe created: rollback, update and MSI update) and -usid, logged. The vector
    // the service gets: each entry's key, then its value, in map order.
    ArgumentMap PrepareServiceArguments();
    static std::vector<std::wstring> ServiceArgumentVector(const ArgumentMap& serviceArguments);
    // Creates the GUI pipe under guiPipeName before the name is handed on; while the name is taken, a
    // fresh one is drawn (kGuiPipeNameAttempts in all, then 147) and guiPipeName follows it.
    void CreateGuiPipe();
    // The service's step once its arguments are parsed: the worker started for the operation. False.
    bool ProcessServiceWorkerLoop();

    // Decided once: by -env, by installation, or by the first call, from the settings in the registry.
    EnvironmentKind GetEnvironment();
    std::wstring GetServiceName();
    // The environment's settings key below HKEY_LOCAL_MACHINE.
    std::wstring GetProductRegistryKeyPath();
    // "product", "test" or "development"; empty for a number -env gave outside the table.
    std::wstring EnvironmentName();
    // A fresh name for the GUI pipe; guiPipeName becomes its full path.
    std::wstring GenerateGuiPipeName();
    // Every "{__INSTALL_PATH__}" becomes the program folder's full path.
    std::wstring ReplaceInstallPathPlaceholder(const std::wstring& text) const;

    // Writes one progress message on guiPipe, then pauses kGuiMessagePauseMs.
    void SendGuiMessage(int32_t id, const std::wstring& text);
    // Sends the GuiTextTable text of textId in lang as a status message (id 0).
    void SendGuiText(int32_t textId);
    void ShowText(GuiText text) override;
    void Send(GuiMessageId id, const std::wstring& text) override;

    // The engine's operations (upgrade/), on layout: the update of the installed product from the data
    // folder's update folder.
    void DoHostUpdate();
    // Waits up to 30 s for the client application (hostProcessId) to exit; 137, 139.
    void WaitForHostProcessToClose();
    // The MSI update of msiPath with msiMethod, msiParameters and msiTimeout (upgrade/MsiUpdate.h).
    void DoMsiUpdate();

    // The protected full backup with the rollback scheduled at the next logon, the restore from it and
    // the clean-up after either.
    void PrepareRollback();
    void RunRollback();
    void CleanupRollback();
    void UnscheduleRollback();
    void RemoveBackups();

    // The copy stage: the files of the update folder below relativePath for one pass, each checked
    // against the manifest.
    void CopyNewFiles(std::wstring relativePath, CopyKind kind, ConfigFile& manifest);

    // The loader's side of the GUI pipe: serves guiPipeName and turns the worker's messages into changes
    // of the dialog until the worker ends the conversation (CloseDialog, EnableOk, or its end of the pipe
    // closed). A worker that does not connect within guiPipeConnectLimitMs leaves the status line saying
    // that the update failed and throws 148; a pipe that cannot be made throws 147.
    void ListenOnGuiPipe(Dialog& dialog);

    // The worker's install and uninstall (app/Install.cpp): the settings key with "path" and
    // "productPath", the service with its DACL widened for Users, the autorun value; and their removal.
    void Install();
    // The companion service's host registrations and trusted sites in HKEY_USERS\<userSid>
    // (app/CompanionRefresh.cpp); 100 without a valid -usid, the registry's codes otherwise.
    void RefreshZEPPKIServiceRegistryKeys();
    void Uninstall();

private:
    void ParseFolderArguments();
    void ParseMsiArguments();
    void LogFolderError(const wchar_t* option, const IMException& e) const;
    // The rollback the engine schedules for this run's environment and language.
    RollbackSchedule Schedule();
    // The run's layout in its environment: where its settings and root's own places are.
    EngineLayout Engine();
    // The worker's branches of its mode (app/Orchestration.cpp): the GUI pipe connected, the operation
    // run, its last message sent and the pipe closed; 0 or -1.
    void ConnectGuiPipe();
    int32_t RunWorkerRollback();
    int32_t RunWorkerUpdate();
    int32_t RunWorkerMsiUpdate();
    // The pipe connected, update run, its last message sent and the pipe closed; both updates' frame.
    int32_t RunWorkerUpdating(const std::function<void()>& update);
    // The loader's road through the service, with the dialog for rollback, update and MSI update.
    int32_t RunLoaderThroughService();
    // A worker run for a user (-usid) serves that user's loader only: -lpid must be that user's process.
    void RequireLoaderOfUser();

    Logger logger{L"Maintenance"};

public:
    // The product and data folders of -pp and -dp with every path below them, made by ParseArguments.
    EngineLayout layout;
    int32_t lang = 0;
    int32_t hostProcessId = 0;
    Directory imDataDirectory;
    Operation op = Operation::None;
    WinProcess loaderProcess;
    bool environmentSet = false;
    int32_t environment = 0; // an EnvironmentKind; -env may give any number
    ArgumentMap arguments;
    CSid userSid;
    bool setupCompanionRegistry = false;
    std::wstring guiPipeName;
    PipeClient guiPipe;
    // The loader's end of the GUI pipe, made by CreateGuiPipe before its name goes to the worker.
    std::unique_ptr<PipeServer> guiPipeServer;
    // The loader's hand-overs and its fresh pipe names; tests record or fix them instead.
    std::function<void(const std::wstring&, const std::vector<std::wstring>&)> startService =
        StartInstalledService;
    std::function<void(const std::wstring&, const std::wstring&, const std::wstring&, int32_t)>
        startElevated = StartElevatedProcess;
    std::function<void(const std::wstring&)> waitForService = WaitForInstalledServiceToStop;
    std::function<std::wstring()> freshGuiPipeSuffix = RandomGuiPipeSuffix;
    // The pause after each progress message; tests count it instead of waiting.
    Pause guiMessagePause = SleepMilliseconds;
    uint32_t guiPipeConnectLimitMs = kGuiPipeConnectLimitMs;
    RunMode mode = RunMode::Loader;
    std::wstring msiPath;
    std::wstring msiMethod;
    std::wstring msiParameters;
    int32_t msiTimeout = -1;
};

} // namespace ZEPMaintenance
