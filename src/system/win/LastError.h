// Windows side of CallResult: a call's result together with the last error it left.
#pragma once

#include "base/win/WinHeaders.h"
#include "system/platform/CallResult.h"

namespace ZEPMaintenance::platform {

// Takes the call's result as its argument, so that nothing runs between the call and GetLastError.
[[nodiscard]] inline CallResult WithLastError(uint32_t returned) {
    return CallResult(returned, GetLastError());
}

} // namespace ZEPMaintenance::platform
