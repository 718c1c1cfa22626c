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

std::string RandomHex(std::size_t count) {
    std::string bytes(count, '\0');
    RandomBytes(reinterpret_cast<unsigned char*>(bytes.data()), count);
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    for (const char byte : bytes) {
        const auto value = static_cast<unsigned char>(byte);
        text += kDigits[value >> 4];
        text += kDigits[value & 0xF];
    }
    return text;
}

} // namespace ZEPMaintenance::platform
