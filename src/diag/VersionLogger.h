// The version record every run writes right after its log is set up.
#pragma once

#include "diag/Logger.h"

namespace ZEPMaintenance {

void LogVersion(const Logger& logger);

} // namespace ZEPMaintenance
