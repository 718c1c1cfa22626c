// The hash objects of one read of a file: SHA-1 and, where asked, SHA-256 fed the same chunks.
#pragma once

#include "system/Sha256Hash.h"
#include "system/platform/Sha1HashPrimitives.h"

#include <cstdint>

namespace ZEPMaintenance {

// Each step gives the Windows error number of the call that failed (0 on success), for the caller's own
// line: Create stands for CryptCreateHash, Add for CryptHashData, Finish for CryptGetHashParam.
class DigestStream {
public:
    uint32_t Create(bool withSha256);
    uint32_t Add(const uint8_t* data, uint32_t count);
    // The SHA-1 as upper-case text; the SHA-256 as lower-case text, empty unless created with it.
    uint32_t Finish(FileDigests& digests);

private:
    platform::HashHandle sha1;
    platform::HashHandle sha256;
};

} // namespace ZEPMaintenance
