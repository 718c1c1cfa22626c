// Writes which build produced a log: version, build date and build time.
#include "diag/VersionLogger.h"

#include "base/CodePage.h"
#include "diag/BuildVersion.h"

namespace ZEPMaintenance {

void LogVersion(const Logger& logger) {
    if (!logger.IsActive() || !logger.IsDebugEnabled()) {
        return;
    }
    logger.DebugText(L"Version info ...");
    logger.Debug(L"Build date: %ls", CharToWide(__DATE__));
    logger.Debug(L"Build time: %ls", CharToWide(__TIME__));
    logger.Debug(L"Version: %ls", CharToWide(ZEP_VERSION_TEXT));
}

} // namespace ZEPMaintenance
