// Linux side of Dialog: the dialog thread, which shows the dialog on the loader's terminal when it
// runs in front on one, and as plain lines on standard output otherwise.
#include "ui/platform/DialogPrimitives.h"

#include "base/WinError.h"
#include "system/posix/PosixSupport.h"
#include "ui/posix/DialogFaces.h"

#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <pthread.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace ZEPMaintenance::platform {

struct DialogThreadState {
    explicit DialogThreadState(DialogModel& owner) : model(owner) {}
    // A thread still running would read a freed state: its end is waited for.
    ~DialogThreadState() {
        if (thread.joinable()) {
            thread.join();
        }
    }
    DialogThreadState(const DialogThreadState&) = delete;
    DialogThreadState& operator=(const DialogThreadState&) = delete;

    DialogModel& model;
    // Written to on each change and by the terminal's signal handlers; never blocks.
    posix::UniqueFd wakeRead;
    posix::UniqueFd wakeWrite;
    uint32_t wakeError = 0;
    std::thread thread;
};

namespace {

// Standard output's terminal, opened anew when it is the controlling terminal of this process and the
// process runs in its foreground: a loader started in the background writes plain lines instead. The
// descriptor is the dialog's own, so that its non-blocking mode is no concern of whoever shares
// standard output's.
posix::UniqueFd OpenDialogTerminal() {
    const char* type = std::getenv("TERM");
    if (!isatty(STDOUT_FILENO) || type == nullptr || *type == '\0' || std::strcmp(type, "dumb") == 0 ||
        tcgetpgrp(STDOUT_FILENO) != getpgrp()) {
        return posix::UniqueFd();
    }
    char name[PATH_MAX];
    if (ttyname_r(STDOUT_FILENO, name, sizeof name) != 0) {
        return posix::UniqueFd();
    }
    return posix::MakeDescriptor(open, name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
}

void RunDialog(DialogThreadState& state, posix::UniqueFd terminal, posix::UniqueFd output) {
    // Neither drawing on a terminal whose foreground the process has left nor a reader of standard
    // output that went away may stop or end the process: with these blocked on this thread, such a
    // write goes ahead or fails, and a read fails.
    sigset_t quiet;
    sigemptyset(&quiet);
    sigaddset(&quiet, SIGTTOU);
    sigaddset(&quiet, SIGTTIN);
    sigaddset(&quiet, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &quiet, nullptr);
    try {
        std::optional<int32_t> result;
        if (terminal) {
            result = posix::RunTerminalDialog(state.model, terminal.Get(), state.wakeRead.Get(),
                                              state.wakeWrite.Get());
        }
        if (!result) {
            result = posix::RunPlainDialog(state.model, output.Get(), state.wakeRead.Get());
        }
        state.model.Ended(*result, WinError::kSuccess);
    } catch (const std::bad_alloc&) {
        state.model.Ended(kDialogNotShown, WinError::kNotEnoughMemory);
    }
}

} // namespace

void Destroy(DialogThreadState* state) noexcept {
    delete state;
}

DialogThreadHandle NewDialogThreadState(DialogModel& model) {
    DialogThreadHandle state(new (std::nothrow) DialogThreadState(model));
    if (state) {
        if (!posix::MakePipe(O_NONBLOCK, state->wakeRead, state->wakeWrite)) {
            state->wakeError = posix::LastWinError();
        }
    }
    return state;
}

uint32_t StartDialogThread(const DialogThreadHandle& thread) {
    if (!thread->wakeRead) {
        return thread->wakeError;
    }
    posix::UniqueFd terminal = OpenDialogTerminal();
    posix::UniqueFd output = posix::MakeDescriptor(fcntl, STDOUT_FILENO, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    try {
        thread->thread =
            std::thread(&RunDialog, std::ref(*thread.Get()), std::move(terminal), std::move(output));
    } catch (const std::system_error& e) {
        return posix::WinErrorFromErrno(e.code().value());
    }
    return WinError::kSuccess;
}

void WakeDialogThread(DialogThreadState& thread) {
    if (thread.wakeWrite) {
        const char byte = 1;
        // A full pipe already holds a wake-up.
        [[maybe_unused]] const ssize_t written = write(thread.wakeWrite.Get(), &byte, 1);
    }
}

void JoinDialogThread(const DialogThreadHandle& thread) {
    if (thread->thread.joinable()) {
        thread->thread.join();
    }
}

} // namespace ZEPMaintenance::platform
