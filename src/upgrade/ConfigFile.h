// The upgrade manifest: the XML of the signed container, parsed into the lists the engine checks.
#pragma once

#include "diag/Logger.h"
#include "system/Sha256Hash.h"
#include "upgrade/Action.h"
#include "upgrade/ManifestFileList.h"
#include "upgrade/SigningKey.h"

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace ZEPMaintenance {

struct StreamedManifest;

class ConfigFile {
public:
    ConfigFile();
    ~ConfigFile();
    ConfigFile(const ConfigFile&) = delete;
    ConfigFile& operator=(const ConfigFile&) = delete;

    // Reads and verifies the container with the built-in key (or the given one), then LoadBuffer. A
    // container whose data the streaming reader takes is read once, in pieces, and its lists are taken
    // once the signature holds; any other is read whole, as LoadBuffer reads it.
    bool LoadZCFFile(const std::wstring& path);
    bool LoadZCFFile(const std::wstring& path, const SigningKey& key);
    // False for a rejected document; a malformed hash or sha256 value raises code 100 with loaded still
    // false. The streaming reader first, the whole-document parse for what it leaves.
    bool LoadBuffer(std::vector<uint8_t> bytes);
    // The whole-document parse alone, with the same lines and outcome.
    bool LoadDocument(std::vector<uint8_t> bytes);

    // Names compare after upper-casing, hashes by their text; an entry with a SHA-256 matches only the
    // digests that have that SHA-256 too. Nothing is found before loading ends.
    const ManifestFileEntry* FindSetupFile(const std::wstring& name, const FileDigests& digests) const;
    bool CheckUpgradeFile(const std::wstring& name, const FileDigests& digests) const;
    // A post-upgrade program must be an upgrade file or a setup file (setup folder + "\" + name), and
    // have the SHA-256 of a RunFile entry of its name that carries one.
    bool CheckPostUpgradeAction(const std::wstring& name, const FileDigests& digests) const;

    std::wstring GetVersion() const { return version; }
    std::wstring GetSetupFolder() const { return setupFolder; }
    const std::vector<ManifestFileEntry>& GetSetupFiles() const { return setupFiles; }
    // Read back entry by entry: a product's upgrade files are many, and kept packed.
    const ManifestFileList& GetUpgradeFiles() const { return upgradeFiles; }
    std::wstring GetRunAfterUpgrade() const { return runAfterUpgrade; }
    const std::vector<ManifestFileEntry>& GetPostUpgradeActions() const { return postUpgradeActions; }
    // By reference: the engine binds each action to the controller before running it.
    std::vector<std::unique_ptr<Action>>& GetPreUpgradeActions() { return preUpgradeActions; }
    bool IsLoaded() const { return loaded; }

private:
    // Logs what the streaming reader read, in the order and with the lines of the whole-document parse.
    void Take(StreamedManifest& streamed);

    // The positions of a list's entries by upper-cased name, each in manifest order: a lookup upper-cases
    // its name once and compares the digests of the entries of that name alone, with the outcome of a
    // walk over the whole list.
    using NameIndex = std::unordered_map<std::wstring, std::vector<std::size_t>>;
    static NameIndex IndexByName(const std::vector<ManifestFileEntry>& entries);
    const ManifestFileEntry* FindListed(const std::vector<ManifestFileEntry>& entries, const NameIndex& index,
                                        const std::wstring& name, const FileDigests& digests) const;

    Logger logger{L"ConfigFile"};
    std::wstring version;
    std::wstring setupFolder;
    std::vector<ManifestFileEntry> setupFiles;
    ManifestFileList upgradeFiles;
    std::wstring runAfterUpgrade;
    std::vector<ManifestFileEntry> postUpgradeActions;
    std::vector<std::unique_ptr<Action>> preUpgradeActions;
    NameIndex setupIndex;
    bool loaded = false;
};

} // namespace ZEPMaintenance
