// The loader's progress dialog: shown modally on a thread of its own and changed from the loader's
// main thread while the worker's messages arrive.
#pragma once

#include "base/UniqueHandle.h"
#include "diag/Logger.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

namespace ZEPMaintenance {

// What a dialog ends with.
inline constexpr int32_t kDialogEndedByOk = 1002;   // the user pressed OK (the button's control id)
inline constexpr int32_t kDialogEndedByProgram = 5; // EndDialog, as the worker's CloseDialog asks
inline constexpr int32_t kDialogNotShown = -1;      // it could not be shown (no desktop, no display)

// What the dialog shows: its caption, its three lines and whether OK can be pressed.
struct DialogContent {
    std::wstring caption;
    std::wstring header; // control 1003, centred
    std::wstring status; // control 1004, centred
    std::wstring detail; // control 1005, left-aligned
    bool okEnabled = false;

    bool operator==(const DialogContent&) const = default;
};

class DialogModel;

namespace platform {

// The dialog thread with what it needs while it runs: each platform defines what its state holds.
struct DialogThreadState;
void Destroy(DialogThreadState* state) noexcept;
using DialogThreadHandle = PlatformHandle<DialogThreadState*>;

} // namespace platform

// The progress dialog (template 101 on Windows; on Linux the dialog drawn on the terminal, or one plain
// line per change on standard output without one). It starts as "Aktualizace" / "Aktualizace
// probíhá...", with empty status and detail lines and OK disabled.
//
// InitDialogThread, WaitUntilReady, WaitForEnd and destruction belong to the thread that owns the
// object (the loader's main thread). The other operations may be called from any thread while the
// object exists, before, while or after the dialog is shown; each returns at once, and the dialog shows
// the change as soon as its thread gets to it. A change made before the dialog is on screen is shown
// when it appears.
class Dialog {
public:
    // readyFlag is raised by the dialog thread once the dialog is on screen.
    explicit Dialog(std::atomic<bool>& readyFlag);
    // A dialog still shown is ended with kDialogEndedByProgram and its thread waited for.
    ~Dialog();
    Dialog(const Dialog&) = delete;
    Dialog& operator=(const Dialog&) = delete;

    // Starts the thread that shows the dialog modally; once per object. Throws code 110 when the
    // thread's start data or the thread cannot be made, or when the thread was started before.
    void InitDialogThread();

    // Waits without limit until the dialog is on screen (true) or its thread has ended without
    // showing it (false), as when there is no desktop to show it on.
    bool WaitUntilReady();
    // Whether the dialog has ended (or its thread ended without showing it), without waiting: a loader
    // polling for the dialog on screen stops polling then.
    bool HasEnded() const;

    // Caption and header line in the language (Czech 0, Slovak 1, English 2 and above); the error
    // detail's prefix from now on.
    void SetLanguage(int32_t language);
    // The detail line: "Detail chyby: " (in the language) followed by the text.
    void SetErrorDetail(const std::wstring& text);
    // The status line shows the text; an empty text clears it.
    void SetStatus(const std::wstring& text);
    // OK can be pressed from now on. Where no one can press it (Linux without a terminal), enabling
    // it counts as pressing it: the dialog ends with kDialogEndedByOk.
    void EnableOk();
    // Ends the dialog with the result (kDialogEndedByProgram for the worker's CloseDialog); the first
    // end of a dialog, by this or by OK, decides its result.
    void EndDialog(int32_t result);

    // Waits without limit for the dialog thread to end and returns what the dialog ended with:
    // kDialogEndedByOk, the result given to EndDialog, or kDialogNotShown. kDialogNotShown when the
    // thread was never started.
    int32_t WaitForEnd();

    // Lets the shell open the path with its default verb, unelevated, with empty parameters and
    // folder (a program after an update). A failure is logged and gives false: the dialog goes on.
    bool OpenDocument(const std::wstring& path);

    // What the dialog shows now (once its thread has caught up with the last change).
    DialogContent GetContent() const;

private:
    // The dialog's lines belong to the loader's controller, whose steps they are.
    Logger logger{L"Maintenance"};
    // Declared before the thread: a thread still running when the object goes reads it to the end.
    std::unique_ptr<DialogModel> model;
    platform::DialogThreadHandle thread;
    bool started = false;
};

} // namespace ZEPMaintenance
