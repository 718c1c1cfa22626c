// Linux side of Dialog: the dialog drawn in place on the loader's terminal, with Enter as its OK button.
#include "ui/posix/DialogFaces.h"

#include "base/posix/Utf8.h"
#include "system/posix/PosixSupport.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace ZEPMaintenance::posix {

namespace {

// The box, its borders included, where the terminal is large enough; below kSmallestBox columns or
// kBoxRows rows the lines are drawn without it.
constexpr int kBoxColumns = 64;
constexpr int kBoxRows = 8;
constexpr int kSmallestBox = 24;
// How often a dialog whose process was moved to the background looks whether it is back in front.
constexpr int kBackgroundRecheckMs = 500;

constexpr char kClearScreen[] = "\x1b[0m\x1b[H\x1b[2J";
constexpr char kBold[] = "\x1b[1m";
constexpr char kNotBold[] = "\x1b[22m";
constexpr char kDisabledButton[] = "\x1b[2m[  OK  ]\x1b[22m";
constexpr char kEnabledButton[] = "\x1b[1;7m[  OK  ]\x1b[0m";
constexpr int kButtonColumns = 8;
// The alternate screen with the cursor hidden, and back to the screen as it was.
constexpr char kEnterScreen[] = "\x1b[?1049h\x1b[?25l";
constexpr char kLeaveScreen[] = "\x1b[0m\x1b[?25h\x1b[?1049l";

// Columns a character takes: none for combining marks, two for the wide East Asian ranges.
int ColumnsOf(wchar_t c) {
    const auto code = static_cast<uint32_t>(c);
    if ((code >= 0x0300 && code <= 0x036F) || (code >= 0x200B && code <= 0x200F) ||
        (code >= 0x20D0 && code <= 0x20FF) || (code >= 0xFE20 && code <= 0xFE2F)) {
        return 0;
    }
    if ((code >= 0x1100 && code <= 0x115F) || (code >= 0x2E80 && code <= 0xA4CF && code != 0x303F) ||
        (code >= 0xAC00 && code <= 0xD7A3) || (code >= 0xF900 && code <= 0xFAFF) ||
        (code >= 0xFE30 && code <= 0xFE4F) || (code >= 0xFF00 && code <= 0xFF60) ||
        (code >= 0xFFE0 && code <= 0xFFE6) || (code >= 0x1F300 && code <= 0x1F64F) ||
        (code >= 0x1F900 && code <= 0x1F9FF) || (code >= 0x20000 && code <= 0x3FFFD)) {
        return 2;
    }
    return 1;
}

// The text cut to at most width columns, ending in "…" where it was cut; and the columns it takes.
std::pair<std::string, int> Fit(const std::wstring& text, int width) {
    std::wstring shown;
    int used = 0;
    bool cut = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        // A control character would move the cursor or start a sequence of the terminal's own.
        const wchar_t c = text[i] < L' ' || (text[i] >= 0x7F && text[i] < 0xA0) ? L' ' : text[i];
        const int columns = ColumnsOf(c);
        if (used + columns > width) {
            cut = true;
            break;
        }
        shown += c;
        used += columns;
    }
    if (cut) {
        while (!shown.empty() && used + 1 > width) {
            used -= ColumnsOf(shown.back());
            shown.pop_back();
        }
        if (used + 1 <= width) {
            shown += L'…';
            ++used;
        }
    }
    return {EncodeUtf8(shown, InvalidBytes::Replace), used};
}

// The text in two lines of at most width columns: broken at the last blank that lets the first line
// fit (anywhere, when no blank does); the second line is cut by Fit where it is still too long.
std::pair<std::wstring, std::wstring> WrapInTwo(const std::wstring& text, int width) {
    int used = 0;
    std::size_t fits = 0;
    while (fits < text.size() && used + ColumnsOf(text[fits]) <= width) {
        used += ColumnsOf(text[fits++]);
    }
    if (fits == text.size()) {
        return {text, L""};
    }
    const std::size_t blank = text.find_last_of(L' ', fits);
    if (blank != std::wstring::npos && blank > 0) {
        return {text.substr(0, blank), text.substr(blank + 1)};
    }
    return {text.substr(0, fits), text.substr(fits)};
}

std::string Repeat(const char* piece, int times) {
    std::string text;
    for (int i = 0; i < times; ++i) {
        text += piece;
    }
    return text;
}

std::string MoveTo(int row, int column) {
    return "\x1b[" + std::to_string(row) + ";" + std::to_string(column) + "H";
}

// A line of the box between its borders: the text placed in width columns with a blank column on
// either side, centred or from the left.
std::string BoxLine(const std::wstring& text, int width, bool centred) {
    const auto [shown, used] = Fit(text, width - 2);
    const int before = centred ? (width - used) / 2 : 1;
    return "│" + std::string(static_cast<std::size_t>(before), ' ') + shown +
           std::string(static_cast<std::size_t>(width - used - before), ' ') + "│";
}

} // namespace

std::string DrawDialog(const DialogContent& content, int columns, int rows) {
    const char* button = content.okEnabled ? kEnabledButton : kDisabledButton;
    std::string frame = kClearScreen;
    if (columns < kSmallestBox || rows < kBoxRows) {
        const std::wstring* lines[] = {&content.caption, &content.header, &content.status, &content.detail};
        int row = 1;
        for (const std::wstring* line : lines) {
            if (row <= rows) {
                frame += MoveTo(row++, 1) + Fit(*line, columns).first;
            }
        }
        if (row <= rows && columns >= kButtonColumns) {
            frame += MoveTo(row, 1) + button;
        }
        return frame;
    }
    const int width = std::min(columns, kBoxColumns);
    const int inner = width - 2;
    const int top = (rows - kBoxRows) / 2 + 1;
    const int left = (columns - width) / 2 + 1;
    const auto [title, titleColumns] = Fit(content.caption, inner - 4);
    const int buttonBefore = (inner - kButtonColumns) / 2;
    // A status too long for one line (a rollback's, in some languages) goes on in the next.
    const auto [status, statusGoesOn] = WrapInTwo(content.status, inner - 2);
    const std::string rowsOfBox[kBoxRows] = {
        "┌─ " + std::string(kBold) + title + kNotBold + " " + Repeat("─", inner - 3 - titleColumns) + "┐",
        BoxLine(L"", inner, true),
        BoxLine(content.header, inner, true),
        BoxLine(status, inner, true),
        BoxLine(statusGoesOn, inner, true),
        BoxLine(content.detail, inner, false),
        "│" + std::string(static_cast<std::size_t>(buttonBefore), ' ') + button +
            std::string(static_cast<std::size_t>(inner - kButtonColumns - buttonBefore), ' ') + "│",
        "└" + Repeat("─", inner) + "┘",
    };
    for (int i = 0; i < kBoxRows; ++i) {
        frame += MoveTo(top + i, left) + rowsOfBox[i];
    }
    return frame;
}

namespace {

// What the signal handlers, which may run on any thread, need of the terminal while a dialog owns it.
std::atomic<bool> terminalClaimed{false};
std::atomic<int> dialogTerminal{-1};
std::atomic<int> dialogWake{-1};
// The terminal's modes before the dialog; written before dialogTerminal is set.
termios savedModes{};
// Whether the terminal shows the dialog now, in the dialog's modes.
volatile sig_atomic_t inDialogMode = 0;
// The process was stopped and continued: the shell may have set the terminal's modes meanwhile.
volatile sig_atomic_t continued = 0;

constexpr int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

void WakeFromHandler() {
    const int wake = dialogWake.load();
    if (wake >= 0) {
        const char byte = 1;
        [[maybe_unused]] const ssize_t written = write(wake, &byte, 1);
    }
}

// Async-signal-safe.
void LeaveDialogMode() {
    const int terminal = dialogTerminal.load();
    if (terminal < 0 || inDialogMode == 0) {
        return;
    }
    inDialogMode = 0;
    [[maybe_unused]] const ssize_t written = write(terminal, kLeaveScreen, sizeof kLeaveScreen - 1);
    tcsetattr(terminal, TCSANOW, &savedModes);
}

// Characters arrive one by one without echo; Ctrl-C and Ctrl-Z keep their signals; Ctrl-S no longer
// stops the output, which the dialog writes without blocking.
void EnterDialogMode(int terminal) {
    termios modes = savedModes;
    modes.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | IEXTEN);
    modes.c_iflag &= ~static_cast<tcflag_t>(IXON);
    modes.c_cc[VMIN] = 0;
    modes.c_cc[VTIME] = 0;
    tcsetattr(terminal, TCSANOW, &modes);
    [[maybe_unused]] const ssize_t written = write(terminal, kEnterScreen, sizeof kEnterScreen - 1);
    inDialogMode = 1;
}

void SetAction(int signal, void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(signal, &action, nullptr);
}

// Delivers the signal with its default action, as it would have been without the dialog.
void RaiseWithDefaultAction(int signal) {
    SetAction(signal, SIG_DFL);
    sigset_t just;
    sigemptyset(&just);
    sigaddset(&just, signal);
    pthread_sigmask(SIG_UNBLOCK, &just, nullptr);
    raise(signal);
}

void OnEndingSignal(int signal) {
    LeaveDialogMode();
    RaiseWithDefaultAction(signal);
}

void OnStop(int signal) {
    const int savedErrno = errno;
    LeaveDialogMode();
    // Stops here until the process is continued.
    RaiseWithDefaultAction(signal);
    SetAction(signal, &OnStop);
    continued = 1;
    WakeFromHandler();
    errno = savedErrno;
}

void OnContinue(int) {
    const int savedErrno = errno;
    continued = 1;
    WakeFromHandler();
    errno = savedErrno;
}

void OnResize(int) {
    const int savedErrno = errno;
    WakeFromHandler();
    errno = savedErrno;
}

bool InForeground(int terminal) {
    return tcgetpgrp(terminal) == getpgrp();
}

struct Size {
    int columns = 80;
    int rows = 24;
    bool operator==(const Size&) const = default;
};

Size SizeOf(int terminal) {
    winsize window{};
    Size size;
    if (ioctl(terminal, TIOCGWINSZ, &window) == 0 && window.ws_col > 0 && window.ws_row > 0) {
        size.columns = window.ws_col;
        size.rows = window.ws_row;
    }
    return size;
}

// The terminal in the dialog's hands for the object's life, with the handlers that give it back.
class TerminalOwnership {
public:
    TerminalOwnership(int terminal, int wakeWrite) {
        bool expected = false;
        if (!terminalClaimed.compare_exchange_strong(expected, true)) {
            return;
        }
        if (tcgetattr(terminal, &savedModes) != 0) {
            terminalClaimed = false;
            return;
        }
        owned_ = true;
        dialogWake = wakeWrite;
        dialogTerminal = terminal;
        for (const int signal : kEndingSignals) {
            Install(signal, &OnEndingSignal);
        }
        Install(SIGTSTP, &OnStop);
        // Their default actions do nothing to the terminal: the dialog's handlers wake it to redraw.
        Install(SIGCONT, &OnContinue);
        Install(SIGWINCH, &OnResize);
        EnterDialogMode(terminal);
    }

    ~TerminalOwnership() {
        if (!owned_) {
            return;
        }
        LeaveDialogMode();
        for (auto it = installed_.rbegin(); it != installed_.rend(); ++it) {
            sigaction(it->first, &it->second, nullptr);
        }
        dialogTerminal = -1;
        dialogWake = -1;
        continued = 0;
        terminalClaimed = false;
    }

    TerminalOwnership(const TerminalOwnership&) = delete;
    TerminalOwnership& operator=(const TerminalOwnership&) = delete;

    bool Owned() const { return owned_; }

private:
    // Only over the default action: a handler or an ignored signal is the program's own choice.
    void Install(int signal, void (*handler)(int)) {
        struct sigaction previous {};
        if (sigaction(signal, nullptr, &previous) != 0 || (previous.sa_flags & SA_SIGINFO) != 0 ||
            previous.sa_handler != SIG_DFL) {
            return;
        }
        installed_.emplace_back(signal, previous);
        SetAction(signal, handler);
    }

    bool owned_ = false;
    std::vector<std::pair<int, struct sigaction>> installed_;
};

void DrainWake(int wakeRead) {
    char bytes[64];
    while (read(wakeRead, bytes, sizeof bytes) > 0) {
    }
}

// Writes as much of pending as the terminal takes now. False when the terminal is gone.
bool WriteSome(int terminal, std::string& pending) {
    while (!pending.empty()) {
        const ssize_t written = RetryAfterSignal(-1, write, terminal, pending.data(), pending.size());
        if (written < 0) {
            return errno == EAGAIN;
        }
        pending.erase(0, static_cast<std::size_t>(written));
    }
    return true;
}

} // namespace

std::optional<int32_t> RunTerminalDialog(DialogModel& model, int terminal, int wakeRead, int wakeWrite) {
    const TerminalOwnership ownership(terminal, wakeWrite);
    if (!ownership.Owned()) {
        return std::nullopt;
    }
    std::optional<DialogContent> drawn;
    Size drawnSize;
    std::string pending;
    bool announced = false;
    for (;;) {
        bool redraw = false;
        if (continued != 0) {
            continued = 0;
            redraw = true;
            if (InForeground(terminal)) {
                EnterDialogMode(terminal);
            }
        } else if (inDialogMode == 0 && InForeground(terminal)) {
            EnterDialogMode(terminal);
            redraw = true;
        }
        const DialogView view = model.Snapshot();
        if (view.endResult) {
            return *view.endResult;
        }
        // In the background it neither draws nor reads: the terminal belongs to the job in front.
        const bool showing = inDialogMode != 0 && InForeground(terminal);
        if (showing) {
            const Size size = SizeOf(terminal);
            if (redraw || !drawn || *drawn != view.content || size != drawnSize) {
                pending = DrawDialog(view.content, size.columns, size.rows);
                drawn = view.content;
                drawnSize = size;
            }
            if (!WriteSome(terminal, pending)) {
                return std::nullopt;
            }
            if (pending.empty() && !announced) {
                model.Shown();
                announced = true;
            }
        }
        pollfd watched[2] = {{wakeRead, POLLIN, 0}, {showing ? terminal : -1, POLLIN, 0}};
        if (!pending.empty()) {
            watched[1].events |= POLLOUT;
        }
        if (RetryAfterSignal(-1, poll, watched, 2, showing ? -1 : kBackgroundRecheckMs) < 0) {
            return std::nullopt;
        }
        if ((watched[1].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
            return std::nullopt;
        }
        if ((watched[1].revents & POLLIN) != 0) {
            char keys[64];
            const ssize_t got = RetryAfterSignal(-1, read, terminal, keys, sizeof keys);
            for (ssize_t i = 0; i < got; ++i) {
                const bool press = keys[i] == '\r' || keys[i] == '\n' || keys[i] == ' ';
                // OK as it is now: a key typed before it was enabled presses nothing.
                if (press && model.Snapshot().content.okEnabled) {
                    return kDialogEndedByOk;
                }
            }
        }
        DrainWake(wakeRead);
    }
}

} // namespace ZEPMaintenance::posix
