// Test support, Linux side of ScopedTrustedTestRoot: a scratch machine root whose trust store is the
// corpus's.
#include "support/MsiCorpus.h"

#include <filesystem>

namespace ZEPMaintenance::test {

struct ScopedTrustedTestRoot::State {
    ScopedMachineRoot root;
};

ScopedTrustedTestRoot::ScopedTrustedTestRoot() : state_(std::make_unique<State>()) {
    const std::filesystem::path store = std::filesystem::path(state_->root.Path()) / "etc" / "ssl" / "certs";
    std::error_code error;
    std::filesystem::create_directories(store.parent_path(), error);
    std::filesystem::copy(
        std::filesystem::path(MsiCorpusFolder()) / "truststore", store,
        std::filesystem::copy_options::recursive | std::filesystem::copy_options::copy_symlinks, error);
    if (error) {
        failure_ = "cannot copy the corpus's trust store: " + error.message();
    }
}

ScopedTrustedTestRoot::~ScopedTrustedTestRoot() = default;

} // namespace ZEPMaintenance::test
