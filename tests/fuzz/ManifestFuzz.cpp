// Fuzz target: LoadBuffer on hostile XML bytes, then every query on what it accepted; and the streaming
// reader's outcome against the whole-document parse's.
#include "diag/IMException.h"
#include "upgrade/ConfigFile.h"

using namespace ZEPMaintenance;

namespace {
FileDigests DigestsOf(const ManifestFileEntry& entry) {
    return FileDigests{entry.hash, entry.sha256};
}

// The code a load raised (0 for none) and its result.
template <class Load> int Outcome(const Load& load) {
    try {
        return load() ? 1 : 2;
    } catch (const IMException& e) {
        return 100 + e.GetErrorNumber();
    }
}

template <class A, class B> bool SameEntries(const A& a, const B& b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        const ManifestFileEntry x = a[i];
        const ManifestFileEntry y = b[i];
        if (x.fileName != y.fileName || x.args != y.args || x.hash.ToString() != y.hash.ToString() ||
            !(x.sha256 == y.sha256)) {
            return false;
        }
    }
    return true;
}

bool SameManifest(ConfigFile& a, ConfigFile& b) {
    return a.IsLoaded() == b.IsLoaded() && a.GetVersion() == b.GetVersion() &&
           a.GetSetupFolder() == b.GetSetupFolder() && a.GetRunAfterUpgrade() == b.GetRunAfterUpgrade() &&
           a.GetPreUpgradeActions().size() == b.GetPreUpgradeActions().size() &&
           SameEntries(a.GetSetupFiles(), b.GetSetupFiles()) &&
           SameEntries(a.GetUpgradeFiles(), b.GetUpgradeFiles()) &&
           SameEntries(a.GetPostUpgradeActions(), b.GetPostUpgradeActions());
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    ConfigFile manifest;
    ConfigFile whole;
    const int streamed =
        Outcome([&] { return manifest.LoadBuffer(std::vector<uint8_t>(data, data + size)); });
    const int parsed = Outcome([&] { return whole.LoadDocument(std::vector<uint8_t>(data, data + size)); });
    if (streamed != parsed || !SameManifest(manifest, whole)) {
        __builtin_trap(); // the streaming reader read a document otherwise than the document parser
    }
    if (streamed > 100) {
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
