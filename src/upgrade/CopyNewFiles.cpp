// The copy stage: one function per pass over one walk of the update folder.
#include "upgrade/CopyNewFiles.h"

#include "base/Platform.h"
#include "diag/IMException.h"
#include "system/Text.h"
#include "system/WinProcess.h"
#include "system/platform/VolumePrimitives.h"
#include "upgrade/ConfigFile.h"
#include "upgrade/ProgramRun.h"
#include "upgrade/ReleasePath.h"
#include "upgrade/Rollback.h"

#include <algorithm>
#include <map>
#include <optional>
#include <set>
#include <vector>

namespace ZEPMaintenance::upgrade {

namespace {

constexpr const wchar_t* kRegisterServerProgram = L"regsvr32.exe";

constexpr ProgramLines kSetupLines{
    L"CopyNewFiles: Starting setup file. (file: %ls, arguments: %ls)",
    L"CopyNewFiles: Exit code of setup file is not 0 (filename: %ls, exitCode: %d)"};

// A setup program that passed its check: the manifest entry it matched and the checked copy, which is
// what runs.
struct CheckedSetupFile {
    ManifestFileEntry entry;
    HashedCopy copy;
};

// The check before anything changes reports nothing.
class NullProgress : public Progress {
public:
    void ShowText(GuiText) override {}
    void Send(GuiMessageId, const std::wstring&) override {}
};

// A path as one parameter of a program's command line.
std::wstring AsParameter(const std::wstring& path) {
    return path.find_first_of(L" \t") == std::wstring::npos ? path : L"\"" + path + L"\"";
}

// The files the update reads itself, never copied from the top of the update folder.
bool IsUpdateControlFile(const std::wstring& relativePath, const std::wstring& name) {
    return relativePath.empty() && (name == kDeleteListFileName || name == kManifestFileName);
}

// The top of one pass: where its files come from and go, and the code that refuses what the manifest
// cannot vouch for.
struct PassRoots {
    std::wstring source;
    std::wstring targetBase;   // a folder that is there: the product folder or the system folder
    std::wstring targetPrefix; // the release path below it where the pass's files go ("" or "setup\\")
    int32_t refusal;
};

class CopyStage {
public:
    CopyStage(const EngineLayout& layout, const ConfigFile& manifest, Progress& progress,
              const Logger& logger)
        : layout_(layout), manifest_(manifest), progress_(progress), logger_(logger),
          updateFolder_(layout.UpdateFolder()) {}

    void Run(CopyKind kind, const std::wstring& relativePath);
    uint64_t CheckUpdateFolder();

private:
    void ProductPass(const std::wstring& relativePath);
    void SystemPass(const std::wstring& relativePath);
    void SystemComPass(const std::wstring& relativePath);
    void SetupPass(const std::wstring& relativePath);

    PassRoots RootsOf(CopyKind kind) const;
    // The shared walk: the folder below the pass's top checked, its sub-folders made in the target and
    // walked first (except those divert takes elsewhere), then its files handed to onFiles.
    template <class Divert, class OnFiles>
    void Walk(const PassRoots& roots, const std::wstring& relativePath, const Divert& divert,
              const OnFiles& onFiles);
    Directory ScanChecked(const std::wstring& source, int32_t refusal) const;
    struct Presence;
    void CheckFolder(const std::wstring& relativePath, Presence& presence) const;

    // The folder where the files below relativePath go, made with the folders on the way only now that a
    // file goes there; each name matched as Windows matches it against what the folder holds.
    std::wstring TargetFolder(const PassRoots& roots, const std::wstring& relativePath);
    void ForgetFoldersLeft(const std::wstring& target);
    // The name an entry of the folder already has for name as Windows compares names, or name itself.
    std::wstring ExistingName(const std::wstring& folder, const std::wstring& name);

    // Installs the checked copy once the manifest lists its bytes under manifestName; 143 otherwise.
    File InstallListed(HashedCopy& copy, const std::wstring& manifestName) const;
    // A system file goes in only when it is newer than the installed one; none when it stays out.
    std::optional<File> InstallSystemFile(const wchar_t* folderName, const std::wstring& relativePath,
                                          const std::wstring& target, const File& file);
    void RunSetupPrograms(std::vector<CheckedSetupFile>& checked) const;

    const EngineLayout& layout_;
    const ConfigFile& manifest_;
    Progress& progress_;
    const Logger& logger_;
    const std::wstring updateFolder_;
    // What each target folder holds, by upper-cased name, as far as this stage has looked or made.
    std::map<std::wstring, std::map<std::wstring, std::wstring>> targetNames_;
    // The system folder, once a pass has put files there.
    std::wstring systemBase_;
};

// Names in a folder compare as Windows compares them.
std::wstring NameKey(const std::wstring& name) {
    return ToUpper(name);
}

void CopyStage::Run(CopyKind kind, const std::wstring& relativePath) {
    switch (kind) {
    case CopyKind::Product:
        return ProductPass(relativePath);
    case CopyKind::System:
        return SystemPass(relativePath);
    case CopyKind::SystemCom:
        return SystemComPass(relativePath);
    case CopyKind::Setup:
        return SetupPass(relativePath);
    }
    logger_.Error(L"CopyNewFiles: Unknown kind of pass. (kind: %d)", static_cast<int32_t>(kind));
    ThrowIMException(ErrorCode::kInvalidValue);
}

PassRoots CopyStage::RootsOf(CopyKind kind) const {
    const std::wstring separator(1, platform::kPathSeparator);
    switch (kind) {
    case CopyKind::Product:
        return {updateFolder_, layout_.ProductFolder(), L"", ErrorCode::kUpgradeFileNotInManifest};
    case CopyKind::System:
        return {updateFolder_ + kSystemFolderName + separator, layout_.SystemFolder(), L"",
                ErrorCode::kUpgradeFileNotInManifest};
    case CopyKind::SystemCom:
        return {updateFolder_ + kSystemComFolderName + separator, layout_.SystemFolder(), L"",
                ErrorCode::kUpgradeFileNotInManifest};
    case CopyKind::Setup:
        break;
    }
    // Joined to the product folder: it must name a folder inside it, whatever the manifest says.
    const std::wstring setupFolder = manifest_.GetSetupFolder();
    if (!IsInsideFolder(setupFolder)) {
        logger_.Error(L"CopyNewFiles: Setup folder does not name a folder inside the update folder. "
                      L"(setupFolder: %ls)",
                      setupFolder);
        ThrowIMException(ErrorCode::kInvalidValue);
    }
    return {updateFolder_ + ToPlatformPath(setupFolder) + separator, layout_.ProductFolder(),
            setupFolder + L"\\", ErrorCode::kSetupFileNotInManifest};
}

Directory CopyStage::ScanChecked(const std::wstring& source, int32_t refusal) const {
    Directory folder;
    folder.SetFullPath(source);
    folder.ScanDirBelow(updateFolder_);
    // Nothing is read through a link, and a FIFO or device has no bytes the manifest could vouch for. A
    // backslash in a name (Linux) would read as a folder in a manifest name and in the paths made from it.
    std::vector<std::wstring> refused = folder.GetLinks();
    refused.insert(refused.end(), folder.GetSpecialFiles().begin(), folder.GetSpecialFiles().end());
    for (const std::wstring& name : refused) {
        logger_.Error(
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
            logger_.Error(L"CopyNewFiles: Name that no manifest entry can name. (filename: %ls)",
                          source + name);
            ThrowIMException(refusal);
        }
    }
    return folder;
}

template <class Divert, class OnFiles>
void CopyStage::Walk(const PassRoots& roots, const std::wstring& relativePath, const Divert& divert,
                     const OnFiles& onFiles) {
    Directory folder = ScanChecked(roots.source + ToPlatformPath(relativePath), roots.refusal);
    for (const Directory& subdir : folder.GetSubdirs()) {
        const std::wstring& name = subdir.GetDirname();
        if (divert(relativePath, name)) {
            continue;
        }
        Walk(roots, relativePath + name + L"\\", divert, onFiles);
    }
    onFiles(roots, relativePath, folder.GetFiles());
}

void CopyStage::ProductPass(const std::wstring& relativePath) {
    const std::wstring setupFolder = manifest_.GetSetupFolder();
    // Only the top of the update folder holds the other passes' folders, compared exactly.
    const auto divert = [&](const std::wstring& relative, const std::wstring& name) {
        if (!relative.empty()) {
            return false;
        }
        if (name == kSystemFolderName) {
            SystemPass(L"");
        } else if (name == kSystemComFolderName) {
            SystemComPass(L"");
        } else if (manifest_.IsLoaded() && !setupFolder.empty() && name == setupFolder) {
            SetupPass(L"");
        } else {
            return false;
        }
        return true;
    };
    const auto install = [&](const PassRoots& roots, const std::wstring& relative,
                             const std::vector<File>& files) {
        for (const File& file : files) {
            if (IsUpdateControlFile(relative, file.GetFilename())) {
                continue;
            }
            const std::wstring target = TargetFolder(roots, relative);
            HashedCopy copy =
                file.CopyWithHash(target, ExistingName(target, file.GetFilename()), updateFolder_);
            InstallListed(copy, relative + file.GetFilename());
        }
    };
    Walk(RootsOf(CopyKind::Product), relativePath, divert, install);
}

const auto kNoDiversion = [](const std::wstring&, const std::wstring&) { return false; };

void CopyStage::SystemPass(const std::wstring& relativePath) {
    Walk(RootsOf(CopyKind::System), relativePath, kNoDiversion,
         [&](const PassRoots& roots, const std::wstring& relative, const std::vector<File>& files) {
             for (const File& file : files) {
                 InstallSystemFile(kSystemFolderName, relative, TargetFolder(roots, relative), file);
             }
         });
    // The system folder is not part of the backup: what went there is on the disk when the pass ends.
    FlushVolumeOf(layout_.SystemFolder(), L"CopyNewFiles", logger_);
}

void CopyStage::SystemComPass(const std::wstring& relativePath) {
    const std::wstring registerServer = layout_.SystemFolder() + kRegisterServerProgram;
    Walk(RootsOf(CopyKind::SystemCom), relativePath, kNoDiversion,
         [&](const PassRoots& roots, const std::wstring& relative, const std::vector<File>& files) {
             for (const File& file : files) {
                 const std::optional<File> installed =
                     InstallSystemFile(kSystemComFolderName, relative, TargetFolder(roots, relative), file);
                 if (installed) {
                     // Not awaited: its result is not looked at, and it may run on beside the next copies.
                     WinProcess registration;
                     registration.Start(registerServer, L"/s " + AsParameter(installed->GetFullPath()), L"",
                                        false);
                 }
             }
         });
    FlushVolumeOf(layout_.SystemFolder(), L"CopyNewFiles", logger_);
}

void CopyStage::SetupPass(const std::wstring& relativePath) {
    Walk(RootsOf(CopyKind::Setup), relativePath, kNoDiversion,
         [&](const PassRoots& roots, const std::wstring& relative, const std::vector<File>& files) {
             std::vector<CheckedSetupFile> checked;
             for (const File& file : files) {
                 // Checked on a copy in the product folder, which users cannot write: that copy is what runs.
                 const std::wstring target = TargetFolder(roots, relative);
                 HashedCopy copy =
                     file.CopyWithHash(target, ExistingName(target, file.GetFilename()), updateFolder_);
                 const std::wstring manifestName = relative + file.GetFilename();
                 const ManifestFileEntry* entry = manifest_.FindSetupFile(manifestName, copy.GetDigests());
                 if (entry == nullptr) {
                     logger_.Error(
                         L"CopyNewFiles: Setup soubor nema zaznam v zep_upgrade.xml.zcf. (filename: "
                         L"%ls, hash: %hs)",
                         manifestName, copy.GetHash().ToString());
                     ThrowIMException(ErrorCode::kSetupFileNotInManifest);
                 }
                 checked.push_back(CheckedSetupFile{*entry, std::move(copy)});
             }
             RunSetupPrograms(checked);
         });
}

File CopyStage::InstallListed(HashedCopy& copy, const std::wstring& manifestName) const {
    if (!manifest_.CheckUpgradeFile(manifestName, copy.GetDigests())) {
        logger_.Error(
            L"CopyNewFiles: Upgrade soubor nema zaznam v zep_upgrade.xml.zcf. (filename: %ls, hash: %hs)",
            manifestName, copy.GetHash().ToString());
        ThrowIMException(ErrorCode::kUpgradeFileNotInManifest);
    }
    return copy.Install();
}

std::optional<File> CopyStage::InstallSystemFile(const wchar_t* folderName, const std::wstring& relativePath,
                                                 const std::wstring& target, const File& file) {
    const std::wstring& name = file.GetFilename();
    const std::wstring installedName = ExistingName(target, name);
    const FileVersion installedVersion = File(target, installedName).GetVersion();
    HashedCopy copy = file.CopyWithHash(target, installedName, updateFolder_);
    // The version of the bytes that would be installed, not of the file in the update folder.
    logger_.Info(L"CopyNewFiles: Reading the version of the checked copy. (filename: %ls, copyFilename: %ls)",
                 file.GetFullPath(), copy.GetCopy().GetFilename());
    const FileVersion version = copy.GetCopy().GetVersion();
    if (version <= installedVersion) {
        logger_.Info(L"CopyNewFiles: System file is not newer than the installed one; not copied. "
                     L"(filename: %ls, version: %ls, installedVersion: %ls)",
                     file.GetFullPath(), version.ToString(), installedVersion.ToString());
        return std::nullopt;
    }
    // After the version, as for every system file: only then is the name looked at.
    if (IsUpdateControlFile(relativePath, name)) {
        return std::nullopt;
    }
    return InstallListed(copy, std::wstring(folderName) + L"\\" + name);
}

void CopyStage::RunSetupPrograms(std::vector<CheckedSetupFile>& checked) const {
    if (checked.empty()) {
        return;
    }
    progress_.ShowText(GuiText::SetupStarting);
    for (const ManifestFileEntry& listed : manifest_.GetSetupFiles()) {
        const std::string listedHash = listed.hash.ToString();
        const auto found = std::find_if(checked.begin(), checked.end(), [&](const CheckedSetupFile& setup) {
            return setup.entry.fileName == listed.fileName &&
                   setup.entry.hash.Compare(listedHash.c_str()) == 0 && setup.entry.sha256 == listed.sha256;
        });
        if (found == checked.end()) {
            continue;
        }
        // Put in place before it runs, so that it runs from where users cannot change it; where it stays.
        const File program = found->copy.Install();
        RunProgramToSuccess(program.GetFullPath(), layout_.WithInstallPath(listed.args), listed.fileName,
                            kSetupLines, logger_);
    }
}

std::wstring CopyStage::ExistingName(const std::wstring& folder, const std::wstring& name) {
    auto [known, added] = targetNames_.try_emplace(folder);
    if (added) {
        // Root's folders (the product's, the system's): read as they are.
        Directory listed;
        listed.SetFullPath(folder);
        if (listed.Exists()) {
            for (const Directory& subdir : listed.GetSubdirs()) {
                known->second.emplace(NameKey(subdir.GetDirname()), subdir.GetDirname());
            }
            for (const File& entry : listed.GetFiles()) {
                known->second.emplace(NameKey(entry.GetFilename()), entry.GetFilename());
            }
        }
    }
    return known->second.try_emplace(NameKey(name), name).first->second;
}

std::wstring CopyStage::TargetFolder(const PassRoots& roots, const std::wstring& relativePath) {
    std::wstring folder = roots.targetBase;
    const std::wstring release = roots.targetPrefix + relativePath;
    // A release path of a folder ends in a backslash.
    for (std::size_t start = 0, end = release.find(L'\\'); end != std::wstring::npos;
         start = end + 1, end = release.find(L'\\', start)) {
        const std::wstring name = ExistingName(folder, release.substr(start, end - start));
        Directory created;
        created.Create(folder, name);
        folder = created.GetFullPath();
    }
    if (roots.targetBase != layout_.ProductFolder()) {
        systemBase_ = roots.targetBase;
    } else {
        ForgetFoldersLeft(folder);
    }
    return folder;
}

void CopyStage::ForgetFoldersLeft(const std::wstring& target) {
    // A walk puts a folder's files in after its sub-folders' and never comes back to a product folder it
    // has left: only the folders on the way to this one are asked again. The system folder's names stay,
    // two passes fill it and a file kept out by its version keeps its name for the other.
    for (auto known = targetNames_.begin(); known != targetNames_.end();) {
        const std::wstring& folder = known->first;
        const bool onTheWay = target.compare(0, folder.size(), folder) == 0;
        const bool inSystem = !systemBase_.empty() && folder.compare(0, systemBase_.size(), systemBase_) == 0;
        known = onTheWay || inSystem ? std::next(known) : targetNames_.erase(known);
    }
}

// What the check found of what the manifest lists: an upgrade file by the first entry of its name, a
// setup file by its upper-cased name after the setup folder's.
struct CopyStage::Presence {
    std::vector<bool> upgrade;
    std::set<std::wstring> setupNames;
    std::set<std::wstring> setupFound;
};

uint64_t CopyStage::CheckUpdateFolder() {
    const ManifestFileList& upgradeFiles = manifest_.GetUpgradeFiles();
    Presence presence;
    presence.upgrade.assign(upgradeFiles.size(), false);
    const std::wstring setupPrefix = manifest_.GetSetupFolder() + L"\\";
    for (const ManifestFileEntry& entry : manifest_.GetSetupFiles()) {
        presence.setupNames.insert(NameKey(setupPrefix + entry.fileName));
    }
    CheckFolder(L"", presence);
    // The first missing name in the order of upper-cased names, then the setup files'.
    std::optional<std::wstring> missing;
    for (std::size_t i = 0; i < upgradeFiles.size(); ++i) {
        if (!presence.upgrade[i] && upgradeFiles.IsFirstOfName(i)) {
            std::wstring name = NameKey(upgradeFiles.NameOf(i));
            if (!missing || name < *missing) {
                missing = std::move(name);
            }
        }
    }
    for (const std::wstring& listed : presence.setupNames) {
        if (missing) {
            break;
        }
        if (presence.setupFound.count(listed) == 0) {
            logger_.Error(L"CopyNewFiles: A file the manifest lists is not in the update folder; nothing is "
                          L"changed. (filename: %ls)",
                          listed);
            ThrowIMException(ErrorCode::kSetupFileNotInManifest);
        }
    }
    if (missing) {
        logger_.Error(L"CopyNewFiles: A file the manifest lists is not in the update folder; nothing is "
                      L"changed. (filename: %ls)",
                      *missing);
        ThrowIMException(ErrorCode::kUpgradeFileNotInManifest);
    }
    uint64_t bytes = 0;
    if (const uint32_t error = platform::TreeApparentSize(updateFolder_, bytes); error != 0) {
        logger_.Error(L"CopyNewFiles: The update folder cannot be measured. (lastError: %d)", error);
        ThrowIMException(ErrorCode::kDirectoryScanFailed);
    }
    return bytes;
}

void CopyStage::CheckFolder(const std::wstring& relativePath, Presence& presence) const {
    Directory folder =
        ScanChecked(updateFolder_ + ToPlatformPath(relativePath), ErrorCode::kUpgradeFileNotInManifest);
    std::set<std::wstring> names;
    const auto once = [&](const std::wstring& name) {
        if (!names.insert(NameKey(name)).second) {
            logger_.Error(
                L"CopyNewFiles: Two names in one folder that Windows takes for one; nothing is changed. "
                L"(filename: %ls)",
                relativePath + name);
            ThrowIMException(ErrorCode::kUpgradeFileNotInManifest);
        }
    };
    const ManifestFileList& upgradeFiles = manifest_.GetUpgradeFiles();
    const std::wstring setupFolder = manifest_.GetSetupFolder();
    const std::wstring top = relativePath.substr(0, relativePath.find(L'\\'));
    // Files below the system folders go in by version, checked against the manifest only then.
    const bool system = top == kSystemFolderName || top == kSystemComFolderName;
    const bool setup = !setupFolder.empty() && top == setupFolder;
    for (const File& file : folder.GetFiles()) {
        once(file.GetFilename());
        const std::wstring name = relativePath + file.GetFilename();
        const std::size_t listed = upgradeFiles.FindName(name);
        if (listed != ManifestFileList::npos) {
            presence.upgrade[listed] = true;
        }
        const std::wstring key = presence.setupNames.empty() ? std::wstring() : NameKey(name);
        const bool setupListed = presence.setupNames.count(key) != 0;
        if (setupListed) {
            presence.setupFound.insert(key);
        }
        if (system || IsUpdateControlFile(relativePath, file.GetFilename())) {
            continue;
        }
        if (!(setup ? setupListed : listed != ManifestFileList::npos)) {
            logger_.Error(
                L"CopyNewFiles: A file of the update folder is not in the manifest; nothing is changed. "
                L"(filename: %ls)",
                name);
            ThrowIMException(setup ? ErrorCode::kSetupFileNotInManifest
                                   : ErrorCode::kUpgradeFileNotInManifest);
        }
    }
    for (const Directory& subdir : folder.GetSubdirs()) {
        once(subdir.GetDirname());
        CheckFolder(relativePath + subdir.GetDirname() + L"\\", presence);
    }
}

} // namespace

uint64_t CheckUpdateFolder(const EngineLayout& layout, const ConfigFile& manifest, const Logger& logger) {
    NullProgress none;
    return CopyStage(layout, manifest, none, logger).CheckUpdateFolder();
}

void CopyNewFiles(const EngineLayout& layout, const std::wstring& relativePath, CopyKind kind,
                  const ConfigFile& manifest, Progress& progress, const Logger& logger) {
    CopyStage(layout, manifest, progress, logger).Run(kind, relativePath);
}

} // namespace ZEPMaintenance::upgrade
