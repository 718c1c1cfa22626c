// Test support, Windows side of ScopedTrustedTestRoot: the corpus's test root added to the local
// machine's Root store, and removed again. Wine's Root store takes no additions: it is the host's trust
// bundle, read when a process starts, so there the root is trusted only where the bundle holds it.
#include "support/MsiCorpus.h"

#include "base/win/WinHeaders.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

namespace ZEPMaintenance::test {

struct ScopedTrustedTestRoot::State {
    HCERTSTORE store = nullptr;
    PCCERT_CONTEXT added = nullptr;
};

ScopedTrustedTestRoot::ScopedTrustedTestRoot() : state_(std::make_unique<State>()) {
    std::ifstream file(std::filesystem::path(MsiCorpusFolder() + L"test-root.der"), std::ios::binary);
    const std::vector<BYTE> der((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (der.empty()) {
        failure_ = "no test-root.der in the corpus";
        return;
    }
    state_->store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
    if (state_->store == nullptr) {
        failure_ = "cannot open the Root store: " + std::to_string(GetLastError());
        return;
    }
    if (!CertAddEncodedCertificateToStore(state_->store, X509_ASN_ENCODING, der.data(),
                                          static_cast<DWORD>(der.size()), CERT_STORE_ADD_REPLACE_EXISTING,
                                          &state_->added)) {
        failure_ = "cannot add the test root: " + std::to_string(GetLastError());
        return;
    }
    CERT_CHAIN_PARA parameters{};
    parameters.cbSize = sizeof parameters;
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    if (!CertGetCertificateChain(nullptr, state_->added, nullptr, nullptr, &parameters, 0, nullptr, &chain)) {
        failure_ = "cannot build the test root's chain: " + std::to_string(GetLastError());
        return;
    }
    if (chain->TrustStatus.dwErrorStatus != 0) {
        failure_ = "the test root is not trusted here (Wine: not in the host's trust bundle)";
    }
    CertFreeCertificateChain(chain);
}

ScopedTrustedTestRoot::~ScopedTrustedTestRoot() {
    if (state_->added != nullptr) {
        // Deleting frees the context it is given.
        CertDeleteCertificateFromStore(state_->added);
    }
    if (state_->store != nullptr) {
        CertCloseStore(state_->store, 0);
    }
}

} // namespace ZEPMaintenance::test
