// The copy stage of the update: every file of the update folder checked against the manifest and put in
// place, system files by version, and the prerequisite setup programs run in manifest order.
#include "app/Maintenance.h"

#include "diag/IMException.h"
#include "system/Platform.h"
#include "upgrade/ConfigFile.h"
#include "upgrade/HostUpdate.h"
#include "upgrade/ReleasePath.h"

#include <algorithm>
#include <vector>

namespace ZEPMaintenance {

namespace {

constexpr const wchar_t* kSystemFolderName = L"_ZEP_UPGRADE_SYSTEM";
constexpr const wchar_t* kSystemComFolderName = L"_ZEP_UPGRADE_SYSTEM_COM";
constexpr const wchar_t* kRegisterServerProgram = L"regsvr32.exe";
// "Prerequisite setup is starting."
constexpr int32_t kSetupStartingText = 10;

// A setup program that passed its check: the manifest entry it matched and the checked copy, which is
// what runs.
struct CheckedSetupFile {
    ManifestFileEntry entry;
    HashedCopy copy;
};

// A path as one parameter of a program's command line.
std::wstring AsParameter(const std::wstring& path) {
    return path.find_first_of(L" \t") == std::wstring::npos ? path : L"\"" + path + L"\"";
}

} // namespace

void Maintenance::CopyNewFiles(std::wstring relativePath, CopyKind kind, ConfigFile& manifest) {
    const std::wstring separator(1, platform::kPathSeparator);
    // Written by the user's side of the update: everything in it is read as hostile, and nothing is
    // read through a link in it.
    const std::wstring updateFolder = dataDirectory.GetFullPath() + L"update" + separator;
    const std::wstring productFolder = programDirectory.GetFullPath();
    const std::wstring setupFolder = manifest.GetSetupFolder();
    const int32_t refusal =
        kind == CopyKind::Setup ? ErrorCode::kSetupFileNotInManifest : ErrorCode::kUpgradeFileNotInManifest;

    std::wstring source = updateFolder;
    std::wstring target;
    std::wstring systemFolder;
    switch (kind) {
    case CopyKind::Product:
        target = productFolder;
        break;
    case CopyKind::System:
    case CopyKind::SystemCom: {
        source += (kind == CopyKind::System ? kSystemFolderName : kSystemComFolderName) + separator;
        Directory system;
        system.SetSpecialFolder(KnownFolder::System);
        systemFolder = system.GetFullPath();
        target = systemFolder;
        break;
    }
    case CopyKind::Setup:
        // Joined to the product folder: it must name a folder inside it, whatever the manifest says.
        if (!IsInsideFolder(setupFolder)) {
            logger.Error(L"CopyNewFiles: Setup folder does not name a folder inside the update folder. "
                         L"(setupFolder: %ls)",
                         setupFolder);
            ThrowIMException(ErrorCode::kInvalidValue);
        }
        source += ToPlatformPath(setupFolder) + separator;
        target = productFolder + ToPlatformPath(setupFolder) + separator;
        break;
    default:
        logger.Error(L"CopyNewFiles: Unknown kind of pass. (kind: %d)", static_cast<int32_t>(kind));
        ThrowIMException(ErrorCode::kInvalidValue);
    }
    source += ToPlatformPath(relativePath);
    target += ToPlatformPath(relativePath);

    Directory folder;
    folder.SetFullPath(source);
    folder.ScanDirBelow(updateFolder);
    // Nothing is read through a link, and a FIFO or device has no bytes the manifest could vouch for. A
    // backslash in a name (Linux) would read as a folder in a manifest name and in the paths made from it.
    std::vector<std::wstring> refused = folder.GetLinks();
    refused.insert(refused.end(), folder.GetSpecialFiles().begin(), folder.GetSpecialFiles().end());
    for (const std::wstring& name : refused) {
        logger.Error(
            L"CopyNewFiles: Neither a file nor a folder; nothing is read through it. (filename: %ls)",
            source + name);
        ThrowIMException(refusal);
    }
    std::vector<std::wstring> names;
    for (const Directory& subdir : folder.GetSubdirs()) {
        names.push_back(subdir.GetDirname());
    }
    for (const File& file : folder.GetFiles()) {
        names.push_back(file.GetFilename());
    }
    for (const std::wstring& name : names) {
        if (name.find(L'\\') != std::wstring::npos) {
            logger.Error(L"CopyNewFiles: Name that no manifest entry can name. (filename: %ls)",
                         source + name);
            ThrowIMException(refusal);
        }
    }

    for (const Directory& subdir : folder.GetSubdirs()) {
        const std::wstring& name = subdir.GetDirname();
        if (kind == CopyKind::Product && relativePath.empty()) {
            if (name == kSystemFolderName) {
                CopyNewFiles(L"", CopyKind::System, manifest);
                continue;
            }
            if (name == kSystemComFolderName) {
                CopyNewFiles(L"", CopyKind::SystemCom, manifest);
                continue;
            }
            if (manifest.IsLoaded() && !setupFolder.empty() && name == setupFolder) {
                Directory created;
                created.Create(productFolder, name);
                CopyNewFiles(L"", CopyKind::Setup, manifest);
                continue;
            }
        }
        Directory created;
        created.Create(target, name);
        CopyNewFiles(relativePath + name + L"\\", kind, manifest);
    }

    std::vector<CheckedSetupFile> setupFiles;
    for (const File& file : folder.GetFiles()) {
        const std::wstring& name = file.GetFilename();
        if (kind == CopyKind::Setup) {
            // Checked on a copy in the product folder, which users cannot write: that copy is what runs.
            HashedCopy copy = file.CopyWithHash(target, L"", updateFolder);
            const std::wstring manifestName = relativePath + name;
            const ManifestFileEntry* entry = manifest.FindSetupFile(manifestName, copy.GetHash());
            if (entry == nullptr) {
                logger.Error(L"CopyNewFiles: Setup soubor nema zaznam v zep_upgrade.xml.zcf. (filename: %ls, "
                             L"hash: %hs)",
                             manifestName, copy.GetHash().ToString());
                ThrowIMException(ErrorCode::kSetupFileNotInManifest);
            }
            setupFiles.push_back(CheckedSetupFile{*entry, std::move(copy)});
            continue;
        }

        const bool systemFile = kind == CopyKind::System || kind == CopyKind::SystemCom;
        FileVersion installedVersion;
        if (systemFile) {
            installedVersion = File(target, name).GetVersion();
        }
        const bool skipped =
            relativePath.empty() && (name == kDeleteListFileName || name == kManifestFileName);
        if (skipped && !systemFile) {
            continue;
        }
        HashedCopy copy = file.CopyWithHash(target, L"", updateFolder);
        if (systemFile) {
            // The version of the bytes that would be installed, not of the file in the update folder.
            logger.Info(
                L"CopyNewFiles: Reading the version of the checked copy. (filename: %ls, copyFilename: %ls)",
                file.GetFullPath(), copy.GetCopy().GetFilename());
            const FileVersion version = copy.GetCopy().GetVersion();
            if (version <= installedVersion) {
                logger.Info(L"CopyNewFiles: System file is not newer than the installed one; not copied. "
                            L"(filename: %ls, version: %ls, installedVersion: %ls)",
                            file.GetFullPath(), version.ToString(), installedVersion.ToString());
                continue;
            }
            if (skipped) {
                continue;
            }
        }
        std::wstring manifestName = relativePath + name;
        if (kind == CopyKind::System) {
            manifestName = std::wstring(kSystemFolderName) + L"\\" + name;
        } else if (kind == CopyKind::SystemCom) {
            manifestName = std::wstring(kSystemComFolderName) + L"\\" + name;
        }
        if (!manifest.CheckUpgradeFile(manifestName, copy.GetHash())) {
            logger.Error(
                L"CopyNewFiles: Upgrade soubor nema zaznam v zep_upgrade.xml.zcf. (filename: %ls, hash: %hs)",
                manifestName, copy.GetHash().ToString());
            ThrowIMException(ErrorCode::kUpgradeFileNotInManifest);
        }
        const File installed = copy.Install();
        if (kind == CopyKind::SystemCom) {
            // Not awaited: its result is not looked at, and it may run on beside the following copies.
            WinProcess registration;
            registration.Start(systemFolder + kRegisterServerProgram,
                               L"/s " + AsParameter(installed.GetFullPath()), L"", false);
        }
    }

    if (setupFiles.empty()) {
        return;
    }
    SendGuiText(kSetupStartingText);
    for (const ManifestFileEntry& listed : manifest.GetSetupFiles()) {
        const std::string listedHash = listed.hash.ToString();
        const auto found =
            std::find_if(setupFiles.begin(), setupFiles.end(), [&](const CheckedSetupFile& checked) {
                return checked.entry.fileName == listed.fileName &&
                       checked.entry.hash.Compare(listedHash.c_str()) == 0;
            });
        if (found == setupFiles.end()) {
            continue;
        }
        // Put in place before it runs, so that it runs from where users cannot change it; where it stays.
        const File program = found->copy.Install();
        const std::wstring arguments = ReplaceInstallPathPlaceholder(listed.args);
        logger.Info(L"CopyNewFiles: Starting setup file. (file: %ls, arguments: %ls)", program.GetFullPath(),
                    arguments);
        WinProcess process;
        process.Start(program.GetFullPath(), arguments, L"", false);
        process.WaitToClose(-1);
        const uint32_t exitCode = process.GetExitCode();
        if (exitCode != 0) {
            logger.Error(L"CopyNewFiles: Exit code of setup file is not 0 (filename: %ls, exitCode: %d)",
                         listed.fileName, static_cast<int32_t>(exitCode));
            ThrowIMException(ErrorCode::kProgramFailed);
        }
    }
}

} // namespace ZEPMaintenance
