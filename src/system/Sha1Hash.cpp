// Sha1Hash: the process-wide provider, parsing and comparing hash text, hashing files.
#include "system/Sha1Hash.h"

#include "diag/IMException.h"
#include "diag/Log.h"

namespace ZEPMaintenance {

void Sha1Hash::Initialize() {
    const uint32_t error = platform::AcquireCryptoProvider();
    if (error != 0) {
        mainLogger().Error(L"Sha1Hash::Initialize:  CryptAcquireContext failed. (lastError: %d)", error);
        ThrowIMException(ErrorCode::kCryptoProviderFailed, L"CryptAcquireContext failed.");
    }
}

void Sha1Hash::UnInitialize() {
    if (!platform::IsCryptoProviderAcquired()) {
        return;
    }
    const uint32_t error = platform::ReleaseCryptoProvider();
    if (error != 0) {
        mainLogger().Error(L"Sha1Hash::UnInitialize:  CryptReleaseContext failed. (lastError: %d)", error);
    }
}

} // namespace ZEPMaintenance
