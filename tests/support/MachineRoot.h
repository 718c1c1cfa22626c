// Test support: a scratch machine for the tests that touch machine-wide state (the registry).
#pragma once

#include "support/TempDir.h"

namespace ZEPMaintenance::test {

// On Linux points ZEP_MACHINE_ROOT at a fresh temporary folder for the object's lifetime, so the
// settings store and known folders start empty. Windows tests work on the machine itself (a Wine
// prefix in the test runs) and clean up after themselves.
class ScopedMachineRoot {
public:
    ScopedMachineRoot();
    ~ScopedMachineRoot();
    ScopedMachineRoot(const ScopedMachineRoot&) = delete;
    ScopedMachineRoot& operator=(const ScopedMachineRoot&) = delete;

    // True where the machine is a private scratch copy (Linux).
    static bool IsScratch();
    // The machine's root folder with a trailing separator: the scratch folder on Linux, C:\ on Windows.
    std::wstring Path() const;

private:
    TempDir root_;
};

} // namespace ZEPMaintenance::test
