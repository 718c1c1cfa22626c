// Fuzz target: the signed container reader and the manifest load behind it, on hostile file bytes.
#include "FuzzSupport.h"

#include "diag/IMException.h"
#include "system/Sha1Hash.h"
#include "system/posix/PosixSupport.h"
#include "upgrade/ConfigFile.h"
#include "upgrade/SignedManifestFile.h"

#include "support/DevelopmentKey.h"

#include <cstring>

using namespace ZEPMaintenance;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    fuzz::WriteScratch(data, size);
    const std::wstring path = posix::WidePath(fuzz::ScratchFile());
    SignedManifestFile image;
    if (image.LoadFile(path.c_str()) == 0) {
        // What was read must be what the file holds.
        if (image.GetSignatureLength() + image.GetDataLength() + SignedManifestFile::kHeaderSize != size ||
            (image.GetDataLength() != 0 &&
             std::memcmp(image.GetData(), data + size - image.GetDataLength(), image.GetDataLength()) != 0)) {
            std::abort();
        }
    }
    // The program's whole load: read, key id, signature (once per input: RSA is the slow part), XML.
    ConfigFile manifest;
    try {
        manifest.LoadZCFFile(path, test::DevelopmentKey());
    } catch (const IMException&) {
        // A malformed hash value inside a signed manifest raises, as specified.
    }
    return 0;
}
