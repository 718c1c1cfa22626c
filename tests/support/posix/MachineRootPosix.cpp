// Test support, Linux side of ScopedMachineRoot: ZEP_MACHINE_ROOT set to a temporary folder.
#include "support/MachineRoot.h"

#include <cstdlib>
#include <filesystem>
#include <string>

namespace ZEPMaintenance::test {

namespace {
std::string gSaved;
bool gHadRoot = false;
} // namespace

ScopedMachineRoot::ScopedMachineRoot() {
    const char* previous = std::getenv("ZEP_MACHINE_ROOT");
    gHadRoot = previous != nullptr;
    gSaved = gHadRoot ? previous : "";
    std::filesystem::create_directories(root_.FsPath() / "var" / "lib");
    setenv("ZEP_MACHINE_ROOT", root_.FsPath().c_str(), 1);
}

ScopedMachineRoot::~ScopedMachineRoot() {
    if (gHadRoot) {
        setenv("ZEP_MACHINE_ROOT", gSaved.c_str(), 1);
    } else {
        unsetenv("ZEP_MACHINE_ROOT");
    }
}

bool ScopedMachineRoot::IsScratch() {
    return true;
}

std::wstring ScopedMachineRoot::Path() const {
    return root_.Path();
}

} // namespace ZEPMaintenance::test
