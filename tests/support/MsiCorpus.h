// Test support: the MSI signer check's test corpus (built and signed at build time, next to the test
// program) and its test root, trusted for the lifetime of a ScopedTrustedTestRoot.
#pragma once

#include "support/MachineRoot.h"

#include <memory>
#include <string>
#include <vector>

namespace ZEPMaintenance::test {

struct MsiCorpusEntry {
    std::wstring file;
    bool accepted;
    std::wstring reason; // valid, unsigned, country, common-name, not-time-valid, untrusted-root, ...
};

// The folder of the corpus, with a trailing separator.
std::wstring MsiCorpusFolder();
// corpus.txt, line by line; empty when it is missing.
std::vector<MsiCorpusEntry> ReadMsiCorpus();

// The corpus's test root in the machine's trusted roots: on Linux a scratch machine root whose trust
// store holds it; on Windows the local machine's Root store, from which it is removed again.
class ScopedTrustedTestRoot {
public:
    ScopedTrustedTestRoot();
    ~ScopedTrustedTestRoot();
    ScopedTrustedTestRoot(const ScopedTrustedTestRoot&) = delete;
    ScopedTrustedTestRoot& operator=(const ScopedTrustedTestRoot&) = delete;

    // Empty when the root is trusted; otherwise why not.
    const std::string& Failure() const { return failure_; }

private:
    struct State;
    std::unique_ptr<State> state_;
    std::string failure_;
};

} // namespace ZEPMaintenance::test
