// Test support, Windows side: the progress dialog's window as its user sees it.
#pragma once

#include "base/win/WinHeaders.h"

#include <functional>
#include <string>

namespace ZEPMaintenance::test {

struct DialogWindowView {
    std::wstring caption;
    std::wstring ok;
    std::wstring header;
    std::wstring status;
    std::wstring detail;
    bool okEnabled = false;
};

// The dialog window of this process, or null.
HWND FindDialogWindow();
DialogWindowView ReadDialogWindow(HWND window);
// Waits, with a generous deadline, until the window shows what the test expects; false if it never does.
bool WaitForView(HWND window, const std::function<bool(const DialogWindowView&)>& expected);
// Clicks OK as the button reports a click (BM_CLICK); returns once the dialog has handled it.
void ClickOk(HWND window);

} // namespace ZEPMaintenance::test
