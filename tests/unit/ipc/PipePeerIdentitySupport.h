// Test support for the pipe peers' tests: a case of the worker against a pipe's server, and the line
// that refuses one.
#pragma once

#include "system/CSid.h"

#include <cstdint>
#include <optional>
#include <string>

namespace ZEPMaintenance::test {

// The worker's expected server (its -usid) and whether the pipe is then used.
struct ExpectedServerCase {
    const char* what;
    std::optional<CSid> expected;
    bool used;
};

inline std::wstring RefusalLine(const std::wstring& name, const std::wstring& server, uint32_t serverPid,
                                const std::optional<CSid>& expected) {
    return L"Connect: Pipe served by another user, pipe not used. (name: " + name + L", server: " + server +
           L", serverPid: " + std::to_wstring(serverPid) + L", expected: " +
           expected.value_or(CSid::Administrators()).Sid() + L")";
}

} // namespace ZEPMaintenance::test
