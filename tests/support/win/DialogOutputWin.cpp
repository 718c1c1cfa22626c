// Test support, Windows side of DialogOutput: the dialog is a window, shown where Wine has a display.
#include "support/DialogOutput.h"

#include "base/win/WinHeaders.h"
#include "support/SystemSupport.h"

namespace ZEPMaintenance::test {

const char* DialogSkipReason() {
    // Wine takes its display from the environment; the dialog tests also run under Xvfb.
    if (RunningUnderWine() && GetEnvironmentVariableW(L"DISPLAY", nullptr, 0) == 0) {
        return "Wine has no X display here (unit_tests_dialog runs these under Xvfb)";
    }
    return nullptr;
}

void DialogOutput::Start(Dialog& dialog) {
    dialog.InitDialogThread();
}

std::vector<std::string> DialogOutput::Lines() const {
    return {};
}

} // namespace ZEPMaintenance::test
