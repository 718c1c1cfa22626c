// What a primitive reports where the log prints two numbers for a failed call: the call's result and
// the thread's last error read right after it (the registry and the named security information calls).
#pragma once

#include <cstdint>

namespace ZEPMaintenance::platform {

struct CallResult {
    // One error that is both numbers: every Linux stand-in's result, and a check a primitive makes
    // before it calls the system. Implicit, so that such a primitive returns its error as it is.
    CallResult(uint32_t error) noexcept : returned(error), lastError(error) {}
    CallResult(uint32_t returnedError, uint32_t lastErrorAfter) noexcept
        : returned(returnedError), lastError(lastErrorAfter) {}

    bool Succeeded() const noexcept { return returned == 0; }

    uint32_t returned;
    uint32_t lastError;
};

} // namespace ZEPMaintenance::platform
