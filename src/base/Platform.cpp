// The portable helpers of the platform primitives.
#include "base/Platform.h"

#include <cstdio>

namespace ZEPMaintenance::platform {

std::string SetAsideName(const std::string& path, int /*attempt*/) {
    const LocalTime now = GetLocalTimeNow();
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, ".aside-%04u%02u%02u-%02u%02u%02u-", now.year, now.month, now.day,
                  now.hour, now.minute, now.second);
    return path + stamp + RandomHex(8);
}

} // namespace ZEPMaintenance::platform
