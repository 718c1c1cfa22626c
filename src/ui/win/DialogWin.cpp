// Windows side of Dialog: the thread that runs template 101 modally, and its dialog procedure.
#include "ui/platform/DialogPrimitives.h"

#include "base/win/WinHandle.h"

#include <mutex>
#include <new>
#include <optional>

namespace ZEPMaintenance::platform {

namespace {

constexpr WORD kTemplateId = 101;
constexpr int kOkButton = 1002;
constexpr int kHeaderLine = 1003;
constexpr int kStatusLine = 1004;
constexpr int kDetailLine = 1005;

// Posted to itself by the window initialisation: once it arrives the dialog is on screen.
constexpr UINT kShownMessage = WM_USER + 200;
// Posted by the owner's threads: the model changed. Posted, never sent, so that no caller waits for
// the dialog thread while it holds a lock.
constexpr UINT kChangedMessage = WM_USER + 201;

} // namespace

struct DialogThreadState {
    explicit DialogThreadState(DialogModel& owner) : model(owner) {}

    DialogModel& model;
    WinHandle thread;
    bool joined = false;
    std::mutex windowMutex;
    // The dialog's window while it exists; cleared before the handle can name another window.
    HWND window = nullptr;
    // What the controls show (dialog thread only).
    std::optional<DialogContent> applied;
};

namespace {

DialogThreadState* StateOf(HWND window) {
    return reinterpret_cast<DialogThreadState*>(GetWindowLongPtrW(window, DWLP_USER));
}

void SetWindow(DialogThreadState& state, HWND window) {
    std::lock_guard lock(state.windowMutex);
    state.window = window;
}

// Brings the controls up to the model: only what changed, so that nothing flickers.
void Apply(DialogThreadState& state, HWND window) {
    const DialogView view = state.model.Snapshot();
    const DialogContent& now = view.content;
    const DialogContent* before = state.applied ? &*state.applied : nullptr;
    if (before == nullptr || before->caption != now.caption) {
        SetWindowTextW(window, now.caption.c_str());
    }
    const struct {
        int control;
        const std::wstring DialogContent::*text;
    } lines[] = {{kHeaderLine, &DialogContent::header},
                 {kStatusLine, &DialogContent::status},
                 {kDetailLine, &DialogContent::detail}};
    for (const auto& line : lines) {
        if (before == nullptr || before->*line.text != now.*line.text) {
            SetDlgItemTextW(window, line.control, (now.*line.text).c_str());
        }
    }
    if (before == nullptr || before->okEnabled != now.okEnabled) {
        const HWND ok = GetDlgItem(window, kOkButton);
        EnableWindow(ok, now.okEnabled ? TRUE : FALSE);
        if (now.okEnabled) {
            // Enter and Space press it from now on, wherever the focus was.
            SendMessageW(window, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(ok), TRUE);
        }
    }
    state.applied = now;
    if (view.endResult) {
        EndDialog(window, *view.endResult);
    }
}

INT_PTR CALLBACK DialogProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        auto& state = *reinterpret_cast<DialogThreadState*>(lParam);
        SetWindowLongPtrW(window, DWLP_USER, lParam);
        SetWindow(state, window);
        SetDlgItemTextW(window, kOkButton, L"OK");
        Apply(state, window);
        PostMessageW(window, kShownMessage, 0, 0);
        return TRUE;
    }
    DialogThreadState* const state = StateOf(window);
    if (state == nullptr) {
        return FALSE;
    }
    switch (message) {
    case kShownMessage:
        SetFocus(GetDlgItem(window, kOkButton));
        // Over every other window once, without staying there.
        SetWindowPos(window, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOSIZE | SWP_NOMOVE | SWP_SHOWWINDOW);
        SetWindowPos(window, HWND_NOTOPMOST, 0, 0, 0, 0, SWP_NOSIZE | SWP_NOMOVE | SWP_SHOWWINDOW);
        state->model.Shown();
        return TRUE;
    case kChangedMessage:
        Apply(*state, window);
        return TRUE;
    case WM_COMMAND:
        // BM_CLICK reaches a disabled button's parent too: the button's state decides.
        if (LOWORD(wParam) == kOkButton && HIWORD(wParam) == BN_CLICKED &&
            IsWindowEnabled(GetDlgItem(window, kOkButton))) {
            EndDialog(window, kDialogEndedByOk);
            return TRUE;
        }
        return FALSE;
    case WM_DESTROY:
        SetWindow(*state, nullptr);
        return FALSE;
    default:
        return FALSE;
    }
}

DWORD WINAPI RunDialog(LPVOID parameter) {
    auto& state = *static_cast<DialogThreadState*>(parameter);
    // The parent is this new thread's active window: none.
    const INT_PTR result =
        DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(kTemplateId), GetActiveWindow(),
                        &DialogProcedure, reinterpret_cast<LPARAM>(&state));
    const DWORD error = result == -1 ? GetLastError() : ERROR_SUCCESS;
    SetWindow(state, nullptr);
    state.model.Ended(result == -1 ? kDialogNotShown : static_cast<int32_t>(result), error);
    return 0;
}

} // namespace

void Destroy(DialogThreadState* state) noexcept {
    if (state->thread && !state->joined) {
        WaitForSingleObject(state->thread.Get(), INFINITE);
    }
    delete state;
}

DialogThreadHandle NewDialogThreadState(DialogModel& model) {
    return DialogThreadHandle(new (std::nothrow) DialogThreadState(model));
}

uint32_t StartDialogThread(const DialogThreadHandle& thread) {
    const HANDLE created = CreateThread(nullptr, 0, &RunDialog, thread.Get(), 0, nullptr);
    if (created == nullptr) {
        return GetLastError();
    }
    thread->thread.Reset(created);
    return ERROR_SUCCESS;
}

void WakeDialogThread(DialogThreadState& thread) {
    std::lock_guard lock(thread.windowMutex);
    if (thread.window != nullptr) {
        PostMessageW(thread.window, kChangedMessage, 0, 0);
    }
}

void JoinDialogThread(const DialogThreadHandle& thread) {
    if (thread->thread && !thread->joined) {
        WaitForSingleObject(thread->thread.Get(), INFINITE);
        thread->joined = true;
    }
}

} // namespace ZEPMaintenance::platform
