// The platform primitives under Dialog, implemented by win/DialogWin.cpp and posix/DialogPosix.cpp, and
// the model through which the dialog thread reads what to show and reports what happened.
#pragma once

#include "ui/Dialog.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>

namespace ZEPMaintenance {

// What the dialog thread reads each time it is woken.
struct DialogView {
    DialogContent content;
    // Set once the program has ended the dialog.
    std::optional<int32_t> endResult;
};

// Shared by the owner's threads and the dialog thread; every member locks.
class DialogModel {
public:
    explicit DialogModel(std::atomic<bool>& readyFlag);

    // The owner's side: a change of what the dialog shows, given the language set last; wakes the
    // dialog thread while one is attached.
    template <class Change> void Update(const Change& change) {
        std::lock_guard lock(mutex_);
        change(view_, language_);
        if (keepEveryChange_) {
            changes_.push_back(view_);
        }
        WakeAttached();
    }
    // The dialog thread to wake on each change, from its start until it has been waited for.
    void Attach(platform::DialogThreadState* thread);
    // True until the dialog has been seen on screen or its thread has ended.
    bool WaitUntilShownOrEnded();
    // Whether the dialog thread has ended, without waiting.
    bool HasEnded() const;
    // The result and, when the dialog was not shown, the Windows error number why.
    int32_t Result() const;
    uint32_t Error() const;

    // The dialog thread's side.
    DialogView Snapshot() const;
    // From now on every change is kept until TakeChanges, for a face that shows each one.
    void KeepEveryChange();
    std::deque<DialogView> TakeChanges();
    // The dialog is on screen: raises the ready flag.
    void Shown();
    // The dialog has ended with result (or could not be shown: kDialogNotShown and the error). The
    // thread touches the model no more after this.
    void Ended(int32_t result, uint32_t error);

private:
    void WakeAttached();

    mutable std::mutex mutex_;
    std::condition_variable stateChanged_;
    std::atomic<bool>& readyFlag_;
    DialogView view_;
    int32_t language_ = 0;
    bool keepEveryChange_ = false;
    std::deque<DialogView> changes_;
    bool shown_ = false;
    bool ended_ = false;
    int32_t result_ = kDialogNotShown;
    uint32_t error_ = 0;
    platform::DialogThreadState* attached_ = nullptr;
};

namespace platform {

// The start data of the dialog thread for the model; empty when it cannot be allocated.
DialogThreadHandle NewDialogThreadState(DialogModel& model);
// Starts the thread that shows the dialog modally from template 101 and reports to the model;
// returns a Windows error number, 0 on success.
[[nodiscard]] uint32_t StartDialogThread(const DialogThreadHandle& thread);
// Tells the dialog thread that the model changed; nothing once the dialog has ended. Called with the
// model locked, so it never blocks.
void WakeDialogThread(DialogThreadState& thread);
// Waits without limit for the dialog thread to end.
void JoinDialogThread(const DialogThreadHandle& thread);

} // namespace platform

} // namespace ZEPMaintenance
