// The hash objects of one read of a file: SHA-1 and, where asked, SHA-256 fed the same chunks.
#pragma once

#include "system/Sha256Hash.h"
#include "system/platform/Sha1HashPrimitives.h"

#include <cstdint>
#include <memory>

namespace ZEPMaintenance {

// Each step gives the Windows error number of the call that failed (0 on success), for the caller's own
// line: Create stands for CryptCreateHash, Add for CryptHashData, Finish for CryptGetHashParam.
class DigestStream {
public:
    enum class Sha256 { None, InLine, BesideCaller };

    DigestStream();
    DigestStream(const DigestStream&) = delete;
    DigestStream& operator=(const DigestStream&) = delete;
    // Waits for a chunk still being hashed beside the caller.
    ~DigestStream();

    // BesideCaller takes the SHA-256 of each chunk after the first on a thread of its own, while the
    // caller goes on with the SHA-1 and whatever it does with the chunk (in line when no thread can be
    // had); a chunk must then stay unchanged until the next Add or Finish returns. A file of one chunk
    // costs no thread.
    uint32_t Create(Sha256 sha256);
    uint32_t Add(const uint8_t* data, uint32_t count);
    // The SHA-1 as upper-case text; the SHA-256 as lower-case text, empty without it.
    uint32_t Finish(FileDigests& digests);

private:
    class Beside;

    platform::HashHandle sha1;
    platform::HashHandle sha256;
    std::unique_ptr<Beside> beside;
    bool besideWanted = false;
    bool fedInLine = false;
};

} // namespace ZEPMaintenance
