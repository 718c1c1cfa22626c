// Test support: temporary folders.
#include "support/TempDir.h"

#include <atomic>
#include <chrono>
#include <system_error>

namespace ZEPMaintenance::test {

TempDir::TempDir() {
    static std::atomic<unsigned> counter{0};
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    for (;;) {
        path_ = std::filesystem::temp_directory_path() /
                ("zeptest-" + std::to_string(stamp) + "-" + std::to_string(counter++));
        if (std::filesystem::create_directory(path_)) {
            break;
        }
    }
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::wstring TempDir::Path() const {
    return path_.wstring() + static_cast<wchar_t>(std::filesystem::path::preferred_separator);
}

} // namespace ZEPMaintenance::test
