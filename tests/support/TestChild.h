// Test support: the small program the process tests start, and a file that tells it to end.
#pragma once

#include "base/Cleanup.h"
#include "base/Platform.h"
#include "support/TempDir.h"
#include "system/Text.h"

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

namespace ZEPMaintenance::test {

// The test child next to this program (support/child/TestChild.cpp).
inline std::wstring ChildProgram() {
    return GetModuleDirectory() + platform::kPathSeparator + Utf8ToWide(ZEP_TEST_CHILD_NAME);
}

// A file whose creation ends a test child started with WaitingFor(): until then the child is known to
// run, however slowly the machine goes. The guard creates it on every way out of the test, so that no
// child outlives a failed test.
class Go {
public:
    std::wstring WaitingFor() const { return L"--wait-for \"" + file_.wstring() + L"\""; }
    void Now() const { std::ofstream(file_) << "go"; }

private:
    TempDir folder_;
    std::filesystem::path file_ = folder_.FsPath() / "go";
    Cleanup<std::function<void()>> atTheEnd_{[this] { Now(); }};
};

} // namespace ZEPMaintenance::test
