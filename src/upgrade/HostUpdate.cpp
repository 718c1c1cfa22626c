// The host update: the update of the installed product from the data folder's update folder, with the
// delete list it reads and the post-upgrade programs it runs.
#include "upgrade/HostUpdate.h"

#include "base/Platform.h"
#include "base/WinError.h"
#include "diag/IMException.h"
#include "system/File.h"
#include "system/HeldDirectory.h"
#include "system/Sha1Hash.h"
#include "system/Text.h"
#include "system/WinProcess.h"
#include "system/platform/VolumePrimitives.h"
#include "upgrade/ConfigFile.h"
#include "upgrade/CopyNewFiles.h"
#include "upgrade/DataFilePrimitives.h"
#include "upgrade/InstalledProduct.h"
#include "upgrade/ProgramRun.h"
#include "upgrade/ReleasePath.h"

#include <algorithm>
#include <map>

namespace ZEPMaintenance {

namespace {

constexpr int32_t kHostCloseWaitSeconds = 30;
// A delete list names files and folders of one product; anything near this size is not one.
constexpr std::size_t kDeleteListLimit = 16u * 1024u * 1024u;

// The lines of the post-upgrade programs: the system's own texts, under the copy stage's name.
constexpr ProgramLines kPostUpgradeLines{
    L"CopyNewFiles: Starting PostUpgradeAction file. (file: %ls, arguments: %ls)",
    L"CopyNewFiles: Exit code of PostUpgradeAction file is not 0 (filename: %ls, exitCode: %d)"};

std::wstring WithoutTrailingSeparators(std::wstring path) {
    while (!path.empty() && path.back() == platform::kPathSeparator) {
        path.pop_back();
    }
    return path;
}

void RunPreUpgradeActions(ConfigFile& manifest, ActionContext& context, Progress& progress,
                          const Logger& logger) {
    progress.ShowText(GuiText::PreUpgradeActions);
    for (const std::unique_ptr<Action>& action : manifest.GetPreUpgradeActions()) {
        action->SetContext(&context);
        try {
            action->RunAction();
        } catch (const IMException& e) {
            logger.Error(L"DoHostUpdate: Pre-upgrade actions run failed (exCode: %d, exText: %ls)",
                         e.GetErrorNumber(), e.GetErrorDescription());
            ThrowIMException(ErrorCode::kPreUpgradeActionsFailed);
        }
    }
}

// The product is the administrators', but a link in it leads anywhere: nothing is deleted through one.
void RequireNoLinkOnTheWay(const EngineLayout& layout, const DeleteListLines& lines, const Logger& logger) {
    const LinkOnTheWay link = FindLinkOnTheWay(layout.ProductFolder(), lines);
    if (link.code != 0) {
        logger.Error(L"DoHostUpdate: Delete filelist names a path whose way crosses a link in the program "
                     L"folder; nothing is deleted. (path: %ls, lastError: %d)",
                     link.path, link.error);
        ThrowIMException(link.code);
    }
}

void DeleteListed(const EngineLayout& layout, const std::vector<std::wstring>& files,
                  const std::vector<std::wstring>& folders, const Logger& logger) {
    for (const std::wstring& path : files) {
        File file;
        file.SetFullPath(layout.InProduct(path));
        logger.Info(L"DoHostUpdate: Deleting file (path: %ls)", file.GetFullPath());
        file.Delete();
    }
    // Inner folders first: a line a\b comes after a.
    for (auto folder = folders.rbegin(); folder != folders.rend(); ++folder) {
        const std::wstring fullPath = WithoutTrailingSeparators(layout.InProduct(*folder));
        logger.Info(L"DoHostUpdate: Deleting directory (path: %ls)", fullPath);
        Directory directory;
        directory.SetFullPath(fullPath);
        directory.Delete(false);
    }
}

// The backup takes the product's apparent size where the state folder lives, the new files their apparent
// size in the product folder; a sparse file counts whole, as its copy will.
void RequireFreeSpace(const EngineLayout& layout, uint64_t newBytes, const Logger& logger) {
    uint64_t productBytes = 0;
    platform::ObjectIdentity product;
    platform::ObjectIdentity state;
    uint32_t error = platform::TreeApparentSize(layout.ProductFolder(), productBytes);
    if (error == 0) {
        error = platform::IdentifyFolder(layout.ProductFolder(), product);
    }
    const std::wstring stateRoot = layout.StateRoot().GetPath();
    if (error == 0) {
        error = platform::IdentifyFolder(stateRoot, state);
    }
    struct Need {
        std::wstring folder;
        uint64_t bytes;
    };
    std::vector<Need> needs;
    if (product.volume == state.volume) {
        needs.push_back({layout.ProductFolder(), productBytes + newBytes});
    } else {
        needs.push_back({layout.ProductFolder(), newBytes});
        needs.push_back({stateRoot, productBytes});
    }
    for (const Need& need : needs) {
        uint64_t free = 0;
        if (error == 0) {
            error = platform::FreeBytes(need.folder, free);
        }
        if (error != 0 || free < need.bytes) {
            logger.Error(L"DoHostUpdate: Not enough free space for the backup and the new files; nothing is "
                         L"changed. (folder: %ls, needed: %llu, free: %llu, lastError: %d)",
                         need.folder, static_cast<unsigned long long>(need.bytes),
                         static_cast<unsigned long long>(free), error);
            ThrowIMException(ErrorCode::kNotEnoughSpace);
        }
    }
}

void RemoveBackupsAfterUpdate(const EngineLayout& layout, const Logger& logger) {
    try {
        upgrade::RemoveBackups(layout, logger);
    } catch (const IMException& e) {
        logger.Warn(L"DoHostUpdate: The backup was not removed; the next update removes it. (exCode: %d)",
                    e.GetErrorNumber());
    }
}

// The update stands once the rollback is taken out; the backup's removal reaching the disk is what
// is left, and a failure there is only reported: a backup that comes back is removed by the next update.
void FlushRemovedBackup(const EngineLayout& layout, const Logger& logger) {
    try {
        upgrade::FlushVolumeOf(layout.State().GetFullPath(), L"DoHostUpdate", logger);
    } catch (const IMException& e) {
        logger.Warn(L"DoHostUpdate: The backup's removal may not be on the disk yet. (exCode: %d)",
                    e.GetErrorNumber());
    }
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

namespace upgrade {

void WaitForHostProcessToClose(int32_t hostProcessId, Progress& progress, const Logger& logger) {
    logger.DebugText(L"WaitForHostProcessToClose() BEGIN");
    progress.ShowText(GuiText::WaitingForHost);
    WinProcess host;
    bool opened = true;
    try {
        host.Open(static_cast<uint32_t>(hostProcessId));
    } catch (const IMException& e) {
        if (e.GetErrorNumber() != ErrorCode::kProcessNotFound) {
            // The system's own text, under the MSI update's name, as are the other lines of the wait.
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

void DoHostUpdate(const EngineLayout& named, const HostUpdateRun& run, Progress& progress,
                  const Logger& logger) {
    bool rollbackNeeded = false;
    std::wstring runAfterPath;
    HeldDirectory data;
    EngineLayout layout = named;
    try {
        WaitForHostProcessToClose(run.hostProcessId, progress, logger);
        if (!HoldDataFolder(named, data, layout)) {
            logger.ErrorText(L"DoHostUpdate: Config file not loaded.");
            ThrowIMException(ErrorCode::kManifestNotLoaded);
        }

        ConfigFile manifest;
        manifest.LoadZCFFile(layout.ManifestFile());
        if (!manifest.IsLoaded()) {
            logger.ErrorText(L"DoHostUpdate: Config file not loaded.");
            ThrowIMException(ErrorCode::kManifestNotLoaded);
        }
        RequireNoDowngrade(layout, manifest.GetVersion(), logger);
        // What is not signed costs root at most this refusal, made before anything changes.
        const uint64_t newBytes = CheckUpdateFolder(layout, manifest, logger);
        RequireFreeSpace(layout, newBytes, logger);

        PrepareRollback(layout, run.rollback, logger);

        const DeleteListLines deleteLines = ReadDeleteList(layout.DeleteListFile(), logger);
        RequireNoLinkOnTheWay(layout, deleteLines, logger);
        std::vector<std::wstring> deleteList = deleteLines.files;
        ActionContext context{layout, deleteList};
        RunPreUpgradeActions(manifest, context, progress, logger);

        progress.ShowText(GuiText::RemovingOldFiles);
        rollbackNeeded = true;
        DeleteListed(layout, deleteList, deleteLines.folders, logger);

        progress.ShowText(GuiText::CopyingNewFiles);
        CopyNewFiles(layout, L"", CopyKind::Product, manifest, progress, logger);

        RunPostUpgradeActions(layout, manifest, progress, logger);
        // Every installed file on the disk, in one flush, before the rollback is taken out (the system
        // folder's are flushed by their passes).
        FlushVolumeOf(layout.ProductFolder(), L"DoHostUpdate", logger);

        logger.InfoText(L"Upgrade successfully finished");
        // While the rollback is still scheduled the backup is whole, and a failure here rolls back as one
        // after the update would. Once it is not, the update stands: a backup half removed is never
        // restored, and one left behind is removed by the next update.
        UnscheduleRollback(layout, run.rollback.valueName, logger);
        rollbackNeeded = false;
        RecordInstalledVersion(layout, manifest.GetVersion());
        RemoveBackupsAfterUpdate(layout, logger);
        FlushRemovedBackup(layout, logger);
        progress.ShowText(GuiText::UpdateFinished);

        if (!manifest.GetRunAfterUpgrade().empty()) {
            runAfterPath = layout.InProduct(manifest.GetRunAfterUpgrade());
        }
    } catch (const IMException& e) {
        logger.Error(L"DoHostUpdate: Exception occured. (exCode: %d, exText: %ls)", e.GetErrorNumber(),
                     e.GetErrorDescription());
        progress.ShowText(GuiText::UpdateFailed);
        if (rollbackNeeded) {
            try {
                RunRollback(layout, progress, logger);
                CleanupRollback(layout, run.rollback.valueName, logger);
            } catch (const IMException& failure) {
                logger.Error(L"DoHostUpdate: Rollback failed. (exCode: %d, exText: %ls)",
                             failure.GetErrorNumber(), failure.GetErrorDescription());
                progress.ShowText(GuiText::RollbackFailed);
            }
        }
        throw;
    }

    Directory update = layout.Update();
    update.Delete(false);
    if (!runAfterPath.empty()) {
        progress.Send(GuiMessageId::OpenDocument, runAfterPath);
    }
}

void RunPostUpgradeActions(const EngineLayout& layout, const ConfigFile& manifest, Progress& progress,
                           const Logger& logger) {
    const std::vector<ManifestFileEntry> programs = manifest.GetPostUpgradeActions();
    if (programs.empty()) {
        return;
    }
    progress.ShowText(GuiText::PostUpgradeActions);
    for (const ManifestFileEntry& entry : programs) {
        // The system's own texts, under the copy stage's name.
        if (!IsPostUpgradeProgramPath(entry.fileName)) {
            logger.Error(
                L"CopyNewFiles: PostUpgradeAction names a file outside the program folder. (filename: %ls)",
                entry.fileName);
            ThrowIMException(ErrorCode::kSetupFileNotInManifest);
        }
        File program;
        program.SetFullPath(layout.InProduct(entry.fileName));
        const FileDigests digests = program.GetDigests();
        if (!manifest.CheckPostUpgradeAction(entry.fileName, digests)) {
            logger.Error(L"CopyNewFiles: Hash PostUpgradeAction doesn't correspond to zep_upgrade.xml.zcf. "
                         L"(filename: %ls, hash: %hs)",
                         entry.fileName, digests.sha1.ToString());
            ThrowIMException(ErrorCode::kSetupFileNotInManifest);
        }
        RunProgramToSuccess(program.GetFullPath(), layout.WithInstallPath(entry.args), entry.fileName,
                            kPostUpgradeLines, logger);
    }
}

} // namespace upgrade

DeleteListText ReadDeleteListText(const std::wstring& path) {
    DeleteListText result;
    std::string bytes;
    result.readError = platform::ReadDataFile(path, kDeleteListLimit, bytes);
    if (result.readError == WinError::kSuccess) {
        result.decoded = SingleByteToWide(bytes, kCentralEuropeanOemCodePage, result.text);
    }
    return result;
}

CheckedDeleteList CheckDeleteListLines(DeleteListLines lines) {
    // The list comes from the unelevated user's data folder and the worker deletes with the rights of an
    // administrator: every line must name something inside the product folder, checked before anything is
    // touched.
    CheckedDeleteList checked;
    for (const std::wstring& file : lines.files) {
        if (!IsInsideFolder(file)) {
            checked.refusal = ErrorCode::kFileDeleteOrCopyFailed;
            checked.refusedPath = file;
            return checked;
        }
    }
    std::vector<std::wstring> folders;
    for (std::wstring& folder : lines.folders) {
        if (folder.empty()) {
            // An empty line names no folder; joined to the program folder it would name that folder itself.
            ++checked.emptyFolderLines;
            continue;
        }
        if (!IsInsideFolder(folder)) {
            checked.refusal = ErrorCode::kDirectoryDeleteFailed;
            checked.refusedPath = folder;
            return checked;
        }
        folders.push_back(std::move(folder));
    }
    lines.folders = std::move(folders);
    checked.lines = std::move(lines);
    return checked;
}

bool IsPostUpgradeProgramPath(const std::wstring& fileName) {
    return IsInsideFolder(fileName);
}

LinkOnTheWay FindLinkOnTheWay(const std::wstring& productFolder, const DeleteListLines& lines) {
    for (const auto& [paths, code] : {std::pair{&lines.files, ErrorCode::kFileDeleteOrCopyFailed},
                                      std::pair{&lines.folders, ErrorCode::kDirectoryDeleteFailed}}) {
        for (const std::wstring& path : *paths) {
            bool crosses = false;
            const uint32_t error = platform::CrossesLink(productFolder, ToPlatformPath(path), crosses);
            if (error != 0 || crosses) {
                return {code, path, error};
            }
        }
    }
    return {};
}

std::vector<std::wstring> FilesLeftAfterActions(const std::vector<std::wstring>& preUpgradeDeletes,
                                                std::vector<std::wstring> files) {
    // As RunAction shortens the list: the first line of the same spelling, exactly.
    for (const std::wstring& path : preUpgradeDeletes) {
        if (const auto listed = std::find(files.begin(), files.end(), path); listed != files.end()) {
            files.erase(listed);
        }
    }
    return files;
}

int32_t DeleteListFileFailure(const std::wstring& line) {
    if (!line.empty() && (line.back() == L'\\' || line.back() == L'/')) {
        return ErrorCode::kInvalidValue;
    }
    const std::size_t last = line.find_last_of(L"\\/");
    return line.substr(last == std::wstring::npos ? 0 : last + 1) == L"." ? ErrorCode::kFileDeleteOrCopyFailed
                                                                          : 0;
}

std::vector<DeleteConflict> FindDeleteConflicts(const std::vector<std::wstring>& preUpgradeDeletes,
                                                const DeleteListLines& lines, bool ignoreCase) {
    std::vector<DeleteConflict> conflicts;
    std::map<std::wstring, std::wstring> deleted; // key: the delete that took it, as written
    for (const std::wstring& path : preUpgradeDeletes) {
        const auto [taken, fresh] = deleted.try_emplace(ReleasePathKey(path, ignoreCase), path);
        if (!fresh) {
            conflicts.push_back({path, taken->second, ErrorCode::kPreUpgradeActionsFailed});
        }
    }
    for (const std::wstring& path : FilesLeftAfterActions(preUpgradeDeletes, lines.files)) {
        const auto [taken, fresh] = deleted.try_emplace(ReleasePathKey(path, ignoreCase), path);
        if (!fresh) {
            conflicts.push_back({path, taken->second, ErrorCode::kFileDeleteOrCopyFailed});
        }
    }
    // Inner folders first, as DeleteListed goes: a folder at or below one deleted before it is gone.
    std::vector<std::pair<std::wstring, std::wstring>> folders; // key, as written
    for (auto folder = lines.folders.rbegin(); folder != lines.folders.rend(); ++folder) {
        const std::wstring key = ReleasePathKey(*folder, ignoreCase);
        for (const auto& [earlierKey, earlier] : folders) {
            if (key == earlierKey || key.rfind(earlierKey + L"\\", 0) == 0) {
                conflicts.push_back({*folder, earlier, ErrorCode::kDirectoryDeleteFailed});
                break;
            }
        }
        folders.emplace_back(key, *folder);
    }
    return conflicts;
}

DeleteListLines ReadDeleteList(const std::wstring& path, const Logger& logger) {
    const DeleteListText read = ReadDeleteListText(path);
    if (read.readError != WinError::kSuccess) {
        logger.ErrorText(L"DoHostUpdate: Loading delete filelist file failed.");
        logger.Error(L"DoHostUpdate: The delete filelist could not be read. (path: %ls, lastError: %d)", path,
                     read.readError);
        ThrowIMException(ErrorCode::kDeleteListNotLoaded);
    }
    if (!read.decoded) {
        logger.ErrorText(L"DoHostUpdate: Loading file line from delete filelist failed.");
        ThrowIMException(ErrorCode::kDeleteListNotLoaded);
    }
    CheckedDeleteList checked = CheckDeleteListLines(SplitDeleteList(read.text));
    if (checked.refusal == ErrorCode::kFileDeleteOrCopyFailed) {
        logger.Error(L"DoHostUpdate: Delete filelist names a file outside the program folder; nothing is "
                     L"deleted. (path: %ls)",
                     checked.refusedPath);
        ThrowIMException(ErrorCode::kFileDeleteOrCopyFailed);
    }
    if (checked.refusal != 0) {
        logger.Error(L"DoHostUpdate: Delete filelist names a directory outside the program folder; nothing "
                     L"is deleted. (path: %ls)",
                     checked.refusedPath);
        ThrowIMException(ErrorCode::kDirectoryDeleteFailed);
    }
    // One line however many: the list is the user's, and the log is root's.
    if (checked.emptyFolderLines != 0) {
        logger.Warn(
            L"DoHostUpdate: Empty directory line in delete filelist ignored. (path: %ls, count: %llu)", path,
            static_cast<unsigned long long>(checked.emptyFolderLines));
    }
    return std::move(checked.lines);
}

} // namespace ZEPMaintenance
