// Linux side of Sha1Hash: OpenSSL stands in for the CryptoAPI provider.
#include "system/Sha1Hash.h"

#include "system/WinError.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

namespace ZEPMaintenance::platform {

namespace {
EVP_MD* gSha1 = nullptr;
}

uint32_t AcquireCryptoProvider() {
    if (OPENSSL_init_crypto(0, nullptr) != 1) {
        return WinError::kNotSupported;
    }
    gSha1 = EVP_MD_fetch(nullptr, "SHA1", nullptr);
    return gSha1 != nullptr ? WinError::kSuccess : WinError::kNotSupported;
}

uint32_t ReleaseCryptoProvider() {
    EVP_MD_free(gSha1);
    gSha1 = nullptr;
    return WinError::kSuccess;
}

bool IsCryptoProviderAcquired() {
    return gSha1 != nullptr;
}

} // namespace ZEPMaintenance::platform
