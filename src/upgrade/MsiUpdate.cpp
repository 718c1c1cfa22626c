// The MSI update: the package copied into root's own place, its signer checked, the Windows Installer run
// on the copy with the run's method and parameters, and its end awaited.
#include "upgrade/MsiUpdate.h"

#include "base/Cleanup.h"
#include "diag/ErrorCodes.h"
#include "diag/IMException.h"
#include "system/File.h"
#include "system/Permissions.h"
#include "system/WinProcess.h"
#include "upgrade/BackupPermissions.h"
#include "upgrade/HostUpdate.h"
#include "upgrade/MsiPrimitives.h"
#include "upgrade/MsiValidator.h"
#include "upgrade/Rollback.h"

namespace ZEPMaintenance {

namespace upgrade {

namespace {

constexpr wchar_t kPackageFolderName[] = L"msi";
constexpr wchar_t kPackageCopyName[] = L"package.msi";

Permissions AdministratorsOnly() {
    Permissions permissions;
    permissions.AddAllowedAce(CSid::Administrators(), AccessMask::kFileAllAccess);
    return permissions;
}

// The package as the user named it, read once into a new file of a fresh folder that only
// administrators can read or change: what is checked is what runs, and the user's own file may change
// or go meanwhile. Only a regular file with one name is read, never through a link in its last
// component, never a FIFO; a missing file, a link, a FIFO or a folder gives 116 here, before anything is
// started.
HashedCopy CopyPackage(const EngineLayout& layout, const std::wstring& msiPath, const Logger& logger) {
    PrepareState(layout, logger);
    Directory folder = MsiPackageFolder(layout);
    if (folder.Exists()) {
        folder.Delete(true);
    }
    folder.Create();
    ProtectBackupItem(folder.GetFullPath(), AdministratorsOnly());
    File package;
    package.SetFullPath(msiPath);
    try {
        // Confined to its own folder: no link or reparse point in its last component is followed, and
        // a file with a second name (a hard link to someone else's file) is not read.
        return package.CopyWithHash(folder.GetFullPath(), kPackageCopyName, package.GetPath());
    } catch (const IMException& e) {
        logger.Error(
            L"DoMsiUpdate: The MSI package cannot be read as a file; nothing is started. (msi: '%ls', "
            L"exCode: %d)",
            msiPath, e.GetErrorNumber());
        throw;
    }
}

} // namespace

std::wstring MsiInstallerArguments(const std::wstring& method, const std::wstring& package,
                                   const std::wstring& parameters) {
    return L"/passive /" + method + L" \"" + package + L"\" " + parameters;
}

Directory MsiPackageFolder(const EngineLayout& layout) {
    return Directory(layout.State().GetFullPath(), kPackageFolderName);
}

void DoMsiUpdate(const EngineLayout& layout, const MsiUpdateRun& run, Progress& progress,
                 const Logger& logger) {
    logger.DebugText(L"DoMsiUpdate");
    try {
        HashedCopy copy = CopyPackage(layout, run.msiPath, logger);
        const File package = copy.Install();
        // The copy goes on every way out but a time-out, after which the installer still reads it. A copy
        // that cannot be removed now goes with the folder at the next MSI update.
        Cleanup removeCopy([&package] {
            try {
                package.Delete();
            } catch (const IMException&) {
            }
        });
        WaitForHostProcessToClose(run.hostProcessId, progress, logger);

        logger.DebugText(L"DoMsiUpdate Calling MsiValidator");
        if (!MsiValidator::VerifyMsiAuthenticodeSignature(package.GetFullPath())) {
            logger.Error(L"DoMsiUpdate: Failed to verify Authenticode signature of '%ls'", run.msiPath);
            return;
        }

        const std::wstring installer = platform::MsiInstallerPath();
        const std::wstring arguments =
            MsiInstallerArguments(run.msiMethod, package.GetFullPath(), run.msiParameters);
        logger.Info(L"DoMsiUpdate Starting MSI installer. (msiexec: '%ls', msi: '%ls', method: '%ls', extra "
                    L"arguments: '%ls')",
                    installer, run.msiPath, run.msiMethod, run.msiParameters);
        logger.Debug(L"DoMsiUpdate Starting MSI installer. (all arguments: '%ls') timeout=%d", arguments,
                     run.msiTimeout);
        progress.ShowText(GuiText::StartingMsiInstaller);

        WinProcess process;
        process.Start(installer, arguments, L"", false);
        if (!process.WaitToClose(run.msiTimeout)) {
            // The installer goes on with the copy it was given, which therefore stays.
            removeCopy.Cancel();
            logger.Error(L"DoMsiUpdate: MSI Update ended with timeout. (wrong parameters?) filename: '%ls', "
                         L"arguments '%ls'",
                         run.msiPath, run.msiParameters);
            progress.ShowText(GuiText::UpdateFailed);
            ThrowIMException(ErrorCode::kProgramFailed);
        }
        const uint32_t exitCode = process.GetExitCode();
        if (exitCode != 0) {
            logger.Error(
                L"DoMsiUpdate: Exit code of MSI execution is not 0 (filename: '%ls', exitCode: '%d', "
                L"arguments '%ls')",
                run.msiPath, static_cast<int32_t>(exitCode), run.msiParameters);
            progress.ShowText(GuiText::UpdateFailed);
            ThrowIMException(ErrorCode::kProgramFailed);
        }
        progress.ShowText(GuiText::UpdateFinished);
        logger.InfoText(L"Upgrade successfully finished");
        logger.DebugText(L"DoMsiUpdate finished.");
    } catch (const IMException& e) {
        logger.Error(L"DoHostUpdate: Exception occured. (exCode: %d, exText: %ls)", e.GetErrorNumber(),
                     e.GetErrorDescription());
        throw;
    }
}

} // namespace upgrade

} // namespace ZEPMaintenance
