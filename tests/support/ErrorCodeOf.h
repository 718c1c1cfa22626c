// Test support: the code of the IMException an action throws, 0 when it throws none.
#pragma once

#include "diag/IMException.h"

#include <cstdint>
#include <functional>

namespace ZEPMaintenance::test {

inline int32_t CodeOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const IMException& e) {
        return e.GetErrorNumber();
    }
    return 0;
}

} // namespace ZEPMaintenance::test
