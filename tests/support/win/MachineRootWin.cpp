// Test support, Windows side of ScopedMachineRoot: the machine itself, nothing to set up.
#include "support/MachineRoot.h"

namespace ZEPMaintenance::test {

ScopedMachineRoot::ScopedMachineRoot() = default;

ScopedMachineRoot::~ScopedMachineRoot() = default;

bool ScopedMachineRoot::IsScratch() {
    return false;
}

std::wstring ScopedMachineRoot::Path() const {
    return L"C:\\";
}

} // namespace ZEPMaintenance::test
