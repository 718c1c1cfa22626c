// The folders one run of the engine works in, and every path made from them: fixed once the options are
// checked, and the only place where a folder's name is joined to another.
#pragma once

#include "diag/Logger.h"
#include "system/Directory.h"

#include <string>

namespace ZEPMaintenance {

// The data folder's sub-folder the client application fills, and the files of it the update reads.
inline constexpr wchar_t kUpdateFolderName[] = L"update";
inline constexpr wchar_t kManifestFileName[] = L"zep_upgrade.xml.zcf";
inline constexpr wchar_t kDeleteListFileName[] = L"._ZEP_UPGRADE_delete";
// The update folder's sub-folders whose files go into the system folder.
inline constexpr wchar_t kSystemFolderName[] = L"_ZEP_UPGRADE_SYSTEM";
inline constexpr wchar_t kSystemComFolderName[] = L"_ZEP_UPGRADE_SYSTEM_COM";

class EngineLayout {
public:
    // No folders: every operation of the engine refuses to run on it.
    EngineLayout() = default;
    // The product folder the administrator installed and the data folder the client application prepared,
    // for the product environment.
    EngineLayout(const Directory& product, const Directory& data);
    // The same folders for the environment of that name ("product", "test", "development").
    EngineLayout WithEnvironment(const std::wstring& environment) const;
    // The same layout reading the data folder through path (a held folder's), named as before in lines.
    EngineLayout WithDataThrough(const std::wstring& path) const;

    // Full paths with a trailing separator.
    std::wstring ProductFolder() const { return product_.GetFullPath(); }
    std::wstring DataFolder() const { return data_.GetFullPath(); }
    Directory Product() const { return Directory(product_.GetPath(), product_.GetDirname()); }

    // Written by the user's side of the update: everything in it is read as hostile.
    Directory Update() const { return Directory(DataFolder(), kUpdateFolderName); }
    std::wstring UpdateFolder() const { return Update().GetFullPath(); }
    std::wstring ManifestFile() const { return UpdateFolder() + kManifestFileName; }
    std::wstring DeleteListFile() const { return UpdateFolder() + kDeleteListFileName; }

    // The data folder as it was named, for lines; the same as DataFolder() unless read through a hold.
    std::wstring NamedDataFolder() const { return namedData_.GetFullPath(); }
    Directory Data() const { return Directory(data_.GetPath(), data_.GetDirname()); }

    // Root's own places: where only administrators create, rename or delete. Nothing in them is ever
    // reached through the data folder, which is the user's. The environment's state folder holds the
    // protected full backup of the product and the saved copies of the pre-upgrade actions.
    Directory StateRoot() const;
    Directory State() const { return Directory(StateRoot().GetFullPath(), environment_); }
    Directory Backup() const { return Directory(State().GetFullPath(), L"backup"); }
    Directory SavedCopies() const { return Directory(State().GetFullPath(), L"backupActions"); }
    // The environment's settings key below HKEY_LOCAL_MACHINE, which only administrators write.
    std::wstring SettingsKey() const;

    // The platform's system folder, with a trailing separator.
    std::wstring SystemFolder() const;

    // A path a release engineer wrote (backslashes, relative to the product folder) as a full path.
    std::wstring InProduct(const std::wstring& releasePath) const;
    // Every "{__INSTALL_PATH__}" becomes the product folder's full path.
    std::wstring WithInstallPath(const std::wstring& text) const;

    // The engine works below the product and data folders only: a folder without a name stands for the
    // file system's root (an empty -dp) or for no folder at all. Logs "<operation>: Product or data
    // folder not set." and raises 100 for either.
    void Require(const Logger& logger, const wchar_t* operation) const;

private:
    Directory product_;
    Directory data_;
    Directory namedData_;
    std::wstring environment_ = L"product";
};

class HeldDirectory;

// Holds the data folder for the length of an operation and gives the layout that reaches it through the
// hold, so that what the engine reads and removes there is the folder it opened, whatever a user renames
// or plants under its name meanwhile. False, after held's error line, when there is no folder to hold.
bool HoldDataFolder(const EngineLayout& named, HeldDirectory& held, EngineLayout& through);

// The settings of every environment below HKEY_LOCAL_MACHINE.
inline constexpr const wchar_t* kSettingsKey = L"software\\ZEP\\Z.EP Maintenance2";

} // namespace ZEPMaintenance
