// Fuzz target: the Linux signer check of an MSI package (compound file, PKCS#7, digest, chain) on
// hostile file bytes.
#include "FuzzSupport.h"

#include "system/posix/PosixSupport.h"
#include "upgrade/MsiValidator.h"

using namespace ZEPMaintenance;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    fuzz::WriteScratch(data, size);
    (void)MsiValidator::VerifyMsiAuthenticodeSignature(posix::WidePath(fuzz::ScratchFile()));
    return 0;
}
