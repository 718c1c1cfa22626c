// Windows side of Sha1Hash: the process-wide CryptoAPI provider.
#include "system/Sha1Hash.h"

#include "system/win/WinHeaders.h"

namespace ZEPMaintenance::platform {

namespace {
HCRYPTPROV gProvider = 0;
}

uint32_t AcquireCryptoProvider() {
    if (!CryptAcquireContextW(&gProvider, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT)) {
        gProvider = 0;
        return GetLastError();
    }
    return ERROR_SUCCESS;
}

uint32_t ReleaseCryptoProvider() {
    const DWORD error = CryptReleaseContext(gProvider, 0) ? ERROR_SUCCESS : GetLastError();
    gProvider = 0;
    return error;
}

bool IsCryptoProviderAcquired() {
    return gProvider != 0;
}

} // namespace ZEPMaintenance::platform
