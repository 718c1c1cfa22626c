// Linux side of MsiValidator: an MSI package as an OLE compound file (libgsf), its signature stream and
// its Authenticode digest.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

typedef struct evp_md_st EVP_MD;

namespace ZEPMaintenance::platform::msi {

// The machine's trusted roots, below the machine root: certificates under their subject-hash names
// (c_rehash / openssl rehash), as the system keeps them.
inline constexpr const char* kTrustStoreFolder = "etc/ssl/certs";

// The root storage's streams that hold the signature and are not part of what it signs.
inline constexpr const char* kDigitalSignatureStream = "\x05"
                                                       "DigitalSignature";
inline constexpr const char* kDigitalSignatureExStream = "\x05"
                                                         "MsiDigitalSignatureEx";

class Package {
public:
    Package();
    ~Package();
    Package(const Package&) = delete;
    Package& operator=(const Package&) = delete;

    // Opens a regular file without following a link or blocking, and reads it as a compound file:
    // 0, an HRESULT for the open's Windows error, or TRUST_E_SUBJECT_FORM_UNKNOWN for what is no
    // compound file.
    [[nodiscard]] uint32_t Open(const std::wstring& path);
    // The "\x05DigitalSignature" stream (TRUST_E_NOSIGNATURE without one, or above limit bytes).
    [[nodiscard]] uint32_t ReadSignature(int64_t limit, std::vector<uint8_t>& signature);
    // The digest that the signature signs: the "\x05MsiDigitalSignatureEx" stream when there is one;
    // then every stream of the root storage but the two signature streams, and of each sub-storage in
    // turn, in the order of their names' little-endian UTF-16 bytes, each storage followed by its class
    // identifier.
    [[nodiscard]] uint32_t ComputeDigest(const EVP_MD* md, std::vector<uint8_t>& digest);

private:
    struct State;
    std::unique_ptr<State> state_;
};

} // namespace ZEPMaintenance::platform::msi
