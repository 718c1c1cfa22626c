// Maintenance::DoHostUpdate and WaitForHostProcessToClose: the update of the installed product from
// the data folder's update folder, with the delete list it reads.
#include "upgrade/HostUpdate.h"
#include "app/Maintenance.h"
#include "diag/IMException.h"
#include "system/File.h"
#include "system/Platform.h"
#include "system/Sha1Hash.h"
#include "system/Text.h"
#include "system/WinError.h"
#include "system/WinProcess.h"
#include "upgrade/ConfigFile.h"
#include "upgrade/DataFilePrimitives.h"
#include "upgrade/ReleasePath.h"

namespace ZEPMaintenance {

namespace {

constexpr int32_t kHostCloseWaitSeconds = 30;
// A delete list names files and folders of one product; anything near this size is not one.
constexpr std::size_t kDeleteListLimit = 16u * 1024u * 1024u;

// GUI texts of the update.
constexpr int32_t kTextWaitingForHost = 6;
constexpr int32_t kTextPreUpgradeActions = 12;
constexpr int32_t kTextRemovingOldFiles = 3;
constexpr int32_t kTextCopyingNewFiles = 4;
constexpr int32_t kTextPostUpgradeActions = 11;
constexpr int32_t kTextUpdateFinished = 5;
constexpr int32_t kTextUpdateFailed = 2;
constexpr int32_t kTextRollbackFailed = 8;

// The message that carries the program to start after the update.
constexpr int32_t kOpenDocumentMessage = 3;

std::wstring WithoutTrailingSeparators(std::wstring path) {
    while (!path.empty() && path.back() == platform::kPathSeparator) {
        path.pop_back();
    }
    return path;
}

} // namespace

DeleteListLines SplitDeleteList(const std::wstring& text) {
    DeleteListLines lines;
    std::size_t start = 0;
    bool inFolders = false;
    for (std::size_t end = text.find(L'\n'); end != std::wstring::npos; end = text.find(L'\n', start)) {
        std::wstring line = text.substr(start, end - start);
        start = end + 1;
        // Text mode: a carriage return before the line feed belongs to the line break.
        if (!line.empty() && line.back() == L'\r') {
            line.pop_back();
        }
        if (inFolders) {
            lines.folders.push_back(std::move(line));
        } else if (line.empty()) {
            inFolders = true;
        } else {
            lines.files.push_back(std::move(line));
        }
    }
    // What follows the last line feed has no line break and is not taken.
    return lines;
}

void Maintenance::WaitForHostProcessToClose() {
    logger.DebugText(L"WaitForHostProcessToClose() BEGIN");
    SendGuiText(kTextWaitingForHost);
    WinProcess host;
    bool opened = true;
    try {
        host.Open(static_cast<uint32_t>(hostProcessId));
    } catch (const IMException& e) {
        if (e.GetErrorNumber() != ErrorCode::kProcessNotFound) {
            logger.Error(L"DoMsiUpdate: Argument -hpid value error (exCode: %d, exText: %ls).",
                         e.GetErrorNumber(), e.GetErrorDescription());
            ThrowIMException(ErrorCode::kArgumentError);
        }
        logger.InfoText(
            L"DoMsiUpdate: Warning - open host process failed with INVALID_PARAMETER. Assuming host "
            L"was already terminated.");
        opened = false;
    }
    if (opened) {
        logger.Debug(L"Waiting for host process to close %d s.", kHostCloseWaitSeconds);
        if (!host.WaitToClose(kHostCloseWaitSeconds)) {
            logger.ErrorText(L"DoMsiUpdate: Timeout for host process close expired.");
            ThrowIMException(ErrorCode::kHostCloseTimeout);
        }
        logger.InfoText(L"DoMsiUpdate: msiexe process closed.");
    }
    logger.DebugText(L"WaitForHostProcessToClose() END.");
}

void Maintenance::DoHostUpdate() {
    const std::wstring productFolder = programDirectory.GetFullPath();
    const std::wstring updateFolder =
        dataDirectory.GetFullPath() + kUpdateFolderName + platform::kPathSeparator;
    bool rollbackNeeded = false;
    std::wstring runAfterPath;
    try {
        WaitForHostProcessToClose();

        ConfigFile manifest;
        manifest.LoadZCFFile(updateFolder + kManifestFileName);
        if (!manifest.IsLoaded()) {
            logger.ErrorText(L"DoHostUpdate: Config file not loaded.");
            ThrowIMException(ErrorCode::kManifestNotLoaded);
        }

        PrepareRollback();

        const DeleteListLines deleteLines = ReadDeleteList(updateFolder + kDeleteListFileName, logger);
        deleteList = deleteLines.files;

        SendGuiText(kTextPreUpgradeActions);
        for (const std::unique_ptr<Action>& action : manifest.GetPreUpgradeActions()) {
            action->SetMaintenance(this);
            try {
                action->RunAction();
            } catch (const IMException& e) {
                logger.Error(L"DoHostUpdate: Pre-upgrade actions run failed (exCode: %d, exText: %ls)",
                             e.GetErrorNumber(), e.GetErrorDescription());
                ThrowIMException(ErrorCode::kPreUpgradeActionsFailed);
            }
        }

        SendGuiText(kTextRemovingOldFiles);
        rollbackNeeded = true;
        for (const std::wstring& path : deleteList) {
            File file;
            file.SetFullPath(productFolder + ToPlatformPath(path));
            logger.Info(L"DoHostUpdate: Deleting file (path: %ls)", file.GetFullPath());
            file.Delete();
        }
        // Inner folders first: a line a\b comes after a.
        for (auto folder = deleteLines.folders.rbegin(); folder != deleteLines.folders.rend(); ++folder) {
            const std::wstring fullPath = productFolder + WithoutTrailingSeparators(ToPlatformPath(*folder));
            logger.Info(L"DoHostUpdate: Deleting directory (path: %ls)", fullPath);
            Directory directory;
            directory.SetFullPath(fullPath);
            directory.Delete(false);
        }

        SendGuiText(kTextCopyingNewFiles);
        CopyNewFiles(L"", CopyKind::Product, manifest);

        RunPostUpgradeActions(manifest);

        logger.InfoText(L"Upgrade successfully finished");
        // While the rollback is still scheduled the backup is whole, and a failure here rolls back as one
        // after the update would. Once it is not, the update stands: a backup half removed is never
        // restored, and one left behind is removed by the next update.
        UnscheduleRollback();
        rollbackNeeded = false;
        try {
            RemoveBackups();
        } catch (const IMException& e) {
            logger.Warn(L"DoHostUpdate: The backup was not removed; the next update removes it. (exCode: %d)",
                        e.GetErrorNumber());
        }
        SendGuiText(kTextUpdateFinished);

        if (!manifest.GetRunAfterUpgrade().empty()) {
            runAfterPath = productFolder + ToPlatformPath(manifest.GetRunAfterUpgrade());
        }
        deleteList.clear();
    } catch (const IMException& e) {
        logger.Error(L"DoHostUpdate: Exception occured. (exCode: %d, exText: %ls)", e.GetErrorNumber(),
                     e.GetErrorDescription());
        SendGuiText(kTextUpdateFailed);
        if (rollbackNeeded) {
            try {
                RunRollback();
                CleanupRollback();
            } catch (const IMException& failure) {
                logger.Error(L"DoHostUpdate: Rollback failed. (exCode: %d, exText: %ls)",
                             failure.GetErrorNumber(), failure.GetErrorDescription());
                SendGuiText(kTextRollbackFailed);
            }
        }
        throw;
    }

    Directory update;
    update.SetFullPath(updateFolder);
    update.Delete(false);
    if (!runAfterPath.empty()) {
        SendGuiMessage(kOpenDocumentMessage, runAfterPath);
    }
}

DeleteListLines ReadDeleteList(const std::wstring& path, const Logger& logger) {
    std::string bytes;
    const uint32_t error = platform::ReadDataFile(path, kDeleteListLimit, bytes);
    if (error != WinError::kSuccess) {
        logger.ErrorText(L"DoHostUpdate: Loading delete filelist file failed.");
        logger.Error(L"DoHostUpdate: The delete filelist could not be read. (path: %ls, lastError: %d)", path,
                     error);
        ThrowIMException(ErrorCode::kDeleteListNotLoaded);
    }
    std::wstring text;
    if (!SingleByteToWide(bytes, kCentralEuropeanOemCodePage, text)) {
        logger.ErrorText(L"DoHostUpdate: Loading file line from delete filelist failed.");
        ThrowIMException(ErrorCode::kDeleteListNotLoaded);
    }
    DeleteListLines lines = SplitDeleteList(text);

    // The list comes from the unelevated user's data folder and the worker deletes with the rights of an
    // administrator: every line must name something inside the product folder, checked before anything is
    // touched.
    for (const std::wstring& file : lines.files) {
        if (!IsInsideFolder(file)) {
            logger.Error(L"DoHostUpdate: Delete filelist names a file outside the program folder; nothing is "
                         L"deleted. (path: %ls)",
                         file);
            ThrowIMException(ErrorCode::kFileDeleteOrCopyFailed);
        }
    }
    std::vector<std::wstring> folders;
    for (std::wstring& folder : lines.folders) {
        if (folder.empty()) {
            // An empty line names no folder; joined to the program folder it would name that folder itself.
            logger.Warn(L"DoHostUpdate: Empty directory line in delete filelist ignored. (path: %ls)", path);
            continue;
        }
        if (!IsInsideFolder(folder)) {
            logger.Error(
                L"DoHostUpdate: Delete filelist names a directory outside the program folder; nothing "
                L"is deleted. (path: %ls)",
                folder);
            ThrowIMException(ErrorCode::kDirectoryDeleteFailed);
        }
        folders.push_back(std::move(folder));
    }
    lines.folders = std::move(folders);
    return lines;
}

void Maintenance::RunPostUpgradeActions(ConfigFile& manifest) {
    const std::vector<ManifestFileEntry> programs = manifest.GetPostUpgradeActions();
    if (programs.empty()) {
        return;
    }
    SendGuiText(kTextPostUpgradeActions);
    const std::wstring productFolder = programDirectory.GetFullPath();
    for (const ManifestFileEntry& entry : programs) {
        if (!IsInsideFolder(entry.fileName)) {
            logger.Error(
                L"CopyNewFiles: PostUpgradeAction names a file outside the program folder. (filename: %ls)",
                entry.fileName);
            ThrowIMException(ErrorCode::kSetupFileNotInManifest);
        }
        File program;
        program.SetFullPath(productFolder + ToPlatformPath(entry.fileName));
        const Sha1Hash hash = program.GetSha1Hash();
        if (!manifest.CheckPostUpgradeAction(entry.fileName, hash)) {
            logger.Error(L"CopyNewFiles: Hash PostUpgradeAction doesn't correspond to zep_upgrade.xml.zcf. "
                         L"(filename: %ls, hash: %hs)",
                         entry.fileName, hash.ToString());
            ThrowIMException(ErrorCode::kSetupFileNotInManifest);
        }
        const std::wstring arguments = ReplaceInstallPathPlaceholder(entry.args);
        logger.Info(L"CopyNewFiles: Starting PostUpgradeAction file. (file: %ls, arguments: %ls)",
                    program.GetFullPath(), arguments);
        WinProcess process;
        process.Start(program.GetFullPath(), arguments, L"", false);
        process.WaitToClose(-1);
        const uint32_t exitCode = process.GetExitCode();
        if (exitCode != 0) {
            logger.Error(
                L"CopyNewFiles: Exit code of PostUpgradeAction file is not 0 (filename: %ls, exitCode: %d)",
                entry.fileName, static_cast<int32_t>(exitCode));
            ThrowIMException(ErrorCode::kProgramFailed);
        }
    }
}

} // namespace ZEPMaintenance
