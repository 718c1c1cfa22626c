// Known folders of the system that the program locates by id.
#pragma once

namespace ZEPMaintenance {

enum class KnownFolder { ProgramData, System };

} // namespace ZEPMaintenance
