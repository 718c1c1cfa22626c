// Fuzz target: LoadBuffer on hostile XML bytes, then every query on what it accepted.
#include "diag/IMException.h"
#include "upgrade/ConfigFile.h"

using namespace ZEPMaintenance;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    ConfigFile manifest;
    try {
        manifest.LoadBuffer(std::vector<uint8_t>(data, data + size));
    } catch (const IMException&) {
        return 0; // a malformed hash value
    }
    for (const ManifestFileEntry& entry : manifest.GetUpgradeFiles()) {
        if (!manifest.CheckUpgradeFile(entry.fileName, entry.hash)) {
            __builtin_trap(); // a listed file must be found under its own name and hash
        }
    }
    for (const ManifestFileEntry& entry : manifest.GetSetupFiles()) {
        if (manifest.FindSetupFile(entry.fileName, entry.hash) == nullptr) {
            __builtin_trap();
        }
        (void)manifest.CheckPostUpgradeAction(manifest.GetSetupFolder() + L"\\" + entry.fileName, entry.hash);
    }
    for (const ManifestFileEntry& entry : manifest.GetPostUpgradeActions()) {
        (void)manifest.CheckPostUpgradeAction(entry.fileName, entry.hash);
    }
    for (const auto& action : manifest.GetPreUpgradeActions()) {
        (void)action->Clone();
    }
    return 0;
}
