// Test support, Windows side: reading the progress dialog's controls and clicking its OK button.
#include "support/win/DialogWindow.h"

#include <chrono>
#include <thread>

namespace ZEPMaintenance::test {

namespace {

std::wstring TextOf(HWND window) {
    wchar_t text[512] = {};
    GetWindowTextW(window, text, static_cast<int>(std::size(text)));
    return text;
}

BOOL CALLBACK TakeDialogOfThisProcess(HWND window, LPARAM found) {
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    wchar_t className[64] = {};
    GetClassNameW(window, className, static_cast<int>(std::size(className)));
    if (process == GetCurrentProcessId() && std::wstring(className) == L"#32770") {
        *reinterpret_cast<HWND*>(found) = window;
        return FALSE;
    }
    return TRUE;
}

} // namespace

HWND FindDialogWindow() {
    HWND found = nullptr;
    EnumWindows(&TakeDialogOfThisProcess, reinterpret_cast<LPARAM>(&found));
    return found;
}

DialogWindowView ReadDialogWindow(HWND window) {
    DialogWindowView view;
    view.caption = TextOf(window);
    view.ok = TextOf(GetDlgItem(window, 1002));
    view.header = TextOf(GetDlgItem(window, 1003));
    view.status = TextOf(GetDlgItem(window, 1004));
    view.detail = TextOf(GetDlgItem(window, 1005));
    view.okEnabled = IsWindowEnabled(GetDlgItem(window, 1002)) != FALSE;
    return view;
}

bool WaitForView(HWND window, const std::function<bool(const DialogWindowView&)>& expected) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!expected(ReadDialogWindow(window))) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

void ClickOk(HWND window) {
    SendMessageW(GetDlgItem(window, 1002), BM_CLICK, 0, 0);
}

} // namespace ZEPMaintenance::test
