// Fuzz target: the Linux reader of a PE file's version resource, on hostile file bytes.
#include "FuzzSupport.h"

#include "system/posix/PeVersionResource.h"

using namespace ZEPMaintenance;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    fuzz::WriteScratch(data, size);
    std::vector<uint8_t> resource;
    uint32_t ms = 0;
    uint32_t ls = 0;
    if (posix::ReadVersionResource(fuzz::ScratchFile(), resource) == 0) {
        (void)posix::ParseFixedFileVersion(resource, ms, ls);
    }
    // The block parser on its own, on the raw bytes.
    (void)posix::ParseFixedFileVersion(std::vector<uint8_t>(data, data + size), ms, ls);
    return 0;
}
