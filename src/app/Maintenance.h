// The controller of one run: its mode, the checked options and the objects it owns.
#pragma once

#include "app/ArgumentMap.h"
#include "diag/Logger.h"
#include "ipc/PipeClient.h"
#include "system/CSid.h"
#include "system/Directory.h"
#include "system/WinProcess.h"

#include <cstdint>
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

// The passes of the copy stage: where the files of the update folder go.
enum class CopyKind : int32_t {
    Product = 1,   // the update folder itself into the product folder
    System = 2,    // _ZEP_UPGRADE_SYSTEM into the system folder, by file version
    SystemCom = 3, // _ZEP_UPGRADE_SYSTEM_COM into the system folder, registered as COM servers
    Setup = 4,     // the setup folder: prerequisite setup programs, run in manifest order
};

// How long the worker pauses after each progress message, so that the loader, which polls every 200 ms,
// shows it before the next one comes.
inline constexpr uint32_t kGuiMessagePauseMs = 300;
// How often the loader looks for the worker's next message.
inline constexpr uint32_t kGuiPollMs = 200;
// How long the loader waits for the worker to connect to its GUI pipe. The worker connects first thing,
// so a minute means it never started; the loader then shows the update as failed and lets the user go.
inline constexpr uint32_t kGuiPipeConnectLimitMs = 60 * 1000;

class Maintenance {
public:
    Maintenance();
    ~Maintenance();
    Maintenance(const Maintenance&) = delete;
    Maintenance& operator=(const Maintenance&) = delete;
    Maintenance(Maintenance&&) = delete;
    Maintenance& operator=(Maintenance&&) = delete;

    // Checks the options in their fixed order and stores them; throws on the first error.
    void ParseArguments(const ArgumentMap& arguments);

    int32_t ProcessLoaderMode();
    int32_t ProcessWorkerMode();

    // Decided once: by -env, by installation, or by the first call, from the settings in the registry.
    EnvironmentKind GetEnvironment();
    std::wstring GetServiceName();
    // The environment's settings key below HKEY_LOCAL_MACHINE.
    std::wstring GetProductRegistryKeyPath();
    // A fresh name for the GUI pipe; guiPipeName becomes its full path.
    std::wstring GenerateGuiPipeName();
    // Every "{__INSTALL_PATH__}" becomes the program folder's full path.
    std::wstring ReplaceInstallPathPlaceholder(const std::wstring& text) const;

    // Writes one progress message on guiPipe, then pauses kGuiMessagePauseMs.
    void SendGuiMessage(int32_t id, const std::wstring& text);
    // Sends the GuiTextTable text of textId in lang as a status message (id 0).
    void SendGuiText(int32_t textId);

    // The update of the installed product from the data folder's update folder (upgrade/HostUpdate.cpp).
    void DoHostUpdate();
    // Waits up to 30 s for the client application (hostProcessId) to exit; 137, 139.
    void WaitForHostProcessToClose();

    // The protected full backup with the rollback scheduled at the next logon, the restore from it and
    // the clean-up after either (upgrade/Rollback.cpp).
    void PrepareRollback();
    void RunRollback();
    // The scheduled rollback taken out first, then the backups removed: a clean-up broken off half-way
    // never leaves a rollback scheduled with part of its backup gone.
    void CleanupRollback();
    void UnscheduleRollback();
    void RemoveBackups();

    // The copy stage: the files of the update folder below relativePath for one pass, each checked
    // against the manifest (upgrade/CopyNewFiles.cpp).
    void CopyNewFiles(std::wstring relativePath, CopyKind kind, ConfigFile& manifest);

    // The loader's side of the GUI pipe: serves guiPipeName and turns the worker's messages into changes
    // of the dialog until the worker ends the conversation (CloseDialog, EnableOk, or its end of the pipe
    // closed). A worker that does not connect within guiPipeConnectLimitMs leaves the status line saying
    // that the update failed and throws 148; a pipe that cannot be made throws 147.
    void ListenOnGuiPipe(Dialog& dialog);

private:
    void ParseFolderArguments();
    void ParseMsiArguments();
    void LogFolderError(const wchar_t* option, const IMException& e) const;
    // The manifest's post-upgrade programs, each checked against it and awaited; 142, 144.
    void RunPostUpgradeActions(ConfigFile& manifest);
    // The worker's branches of its mode (app/Orchestration.cpp): the GUI pipe connected, the operation
    // run, its last message sent and the pipe closed; 0 or -1.
    void ConnectGuiPipe();
    int32_t RunWorkerRollback();
    int32_t RunWorkerUpdate();

    Logger logger{L"Maintenance"};

public:
    Directory programDirectory;
    Directory dataDirectory;
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
    // The pause after each progress message; tests count it instead of waiting.
    Pause guiMessagePause = SleepMilliseconds;
    uint32_t guiPipeConnectLimitMs = kGuiPipeConnectLimitMs;
    RunMode mode = RunMode::Loader;
    std::wstring msiPath;
    std::wstring msiMethod;
    std::wstring msiParameters;
    int32_t msiTimeout = -1;
    std::vector<std::wstring> deleteList;
};

} // namespace ZEPMaintenance
