// The copy stage of the update: every file of the update folder checked against the manifest and put in
// place, system files by version, and the prerequisite setup programs run in manifest order.
#pragma once

#include "diag/Logger.h"
#include "upgrade/EngineLayout.h"
#include "upgrade/Progress.h"

#include <cstdint>
#include <string>

namespace ZEPMaintenance {

class ConfigFile;

// The passes of the copy stage: where the files of the update folder go.
enum class CopyKind : int32_t {
    Product = 1,   // the update folder itself into the product folder
    System = 2,    // _ZEP_UPGRADE_SYSTEM into the system folder, by file version
    SystemCom = 3, // _ZEP_UPGRADE_SYSTEM_COM into the system folder, registered as COM servers
    Setup = 4,     // the setup folder: prerequisite setup programs, run in manifest order
};

namespace upgrade {

// One pass over the files below relativePath (a release path ending in a backslash, empty for the pass's
// top); the product pass starts the other three where its top holds their folders. Every file is
// installed from a copy hashed while it was made beside its target, so what is installed is what was
// checked; nothing is read through a link in the update folder.
void CopyNewFiles(const EngineLayout& layout, const std::wstring& relativePath, CopyKind kind,
                  const ConfigFile& manifest, Progress& progress, const Logger& logger);

// Before anything changes: every entry of the update folder is a file or folder with a name a manifest
// can carry, no two names in one folder are one name for Windows, every file outside the system folders
// is listed under its name (143, 142 in the setup folder), and every listed file is there. The apparent
// size of what the update folder holds, a sparse file counted whole.
uint64_t CheckUpdateFolder(const EngineLayout& layout, const ConfigFile& manifest, const Logger& logger);

} // namespace upgrade

} // namespace ZEPMaintenance
