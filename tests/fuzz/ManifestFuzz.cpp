// Fuzz target: LoadBuffer on hostile XML bytes, then every query on what it accepted.
#include "diag/IMException.h"
#include "upgrade/ConfigFile.h"

using namespace ZEPMaintenance;

namespace {
FileDigests DigestsOf(const ManifestFileEntry& entry) {
    return FileDigests{entry.hash, entry.sha256};
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    ConfigFile manifest;
    try {
        manifest.LoadBuffer(std::vector<uint8_t>(data, data + size));
    } catch (const IMException&) {
        return 0; // a malformed hash or sha256 value
    }
    for (const ManifestFileEntry& entry : manifest.GetUpgradeFiles()) {
        if (!manifest.CheckUpgradeFile(entry.fileName, DigestsOf(entry))) {
            __builtin_trap(); // a listed file must be found under its own name and hash
        }
    }
    for (const ManifestFileEntry& entry : manifest.GetSetupFiles()) {
        if (manifest.FindSetupFile(entry.fileName, DigestsOf(entry)) == nullptr) {
            __builtin_trap();
        }
        (void)manifest.CheckPostUpgradeAction(manifest.GetSetupFolder() + L"\\" + entry.fileName,
                                              DigestsOf(entry));
    }
    for (const ManifestFileEntry& entry : manifest.GetPostUpgradeActions()) {
        (void)manifest.CheckPostUpgradeAction(entry.fileName, DigestsOf(entry));
    }
    for (const auto& action : manifest.GetPreUpgradeActions()) {
        (void)action->Clone();
    }
    return 0;
}
