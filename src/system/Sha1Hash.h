// SHA-1 value of a file or of the hexadecimal text a manifest carries.
#pragma once

#include "diag/Logger.h"

#include <cstdint>
#include <string>

namespace ZEPMaintenance {

class Sha1Hash {
public:
    // The process-wide crypto provider, acquired at start and released at exit.
    static void Initialize();
    static void UnInitialize();

private:
    Logger logger{L"Sha1Hash"};
    std::string hashText;
};

namespace platform {
// CryptAcquireContext / CryptReleaseContext stand-ins: Windows error number, 0 on success.
uint32_t AcquireCryptoProvider();
uint32_t ReleaseCryptoProvider();
bool IsCryptoProviderAcquired();
} // namespace platform

} // namespace ZEPMaintenance
