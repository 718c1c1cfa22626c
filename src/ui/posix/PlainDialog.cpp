// Linux side of Dialog: without a terminal, one plain line on standard output for each change.
#include "ui/posix/DialogFaces.h"

#include "base/posix/Utf8.h"
#include "system/posix/PosixSupport.h"

#include <cerrno>
#include <poll.h>
#include <unistd.h>

namespace ZEPMaintenance::posix {

namespace {

// One line of text: a control character (a line end in a worker's text) would break the line apart.
std::string Line(const std::wstring& text) {
    std::wstring shown = text;
    for (wchar_t& c : shown) {
        if (c < L' ' || (c >= 0x7F && c < 0xA0)) {
            c = L' ';
        }
    }
    return EncodeUtf8(shown, InvalidBytes::Replace) + "\n";
}

// What changed from before to after, a line each.
std::string LinesFor(const DialogContent* before, const DialogContent& after) {
    std::string lines;
    if (before == nullptr || before->caption != after.caption || before->header != after.header) {
        lines += Line(after.caption + L": " + after.header);
    }
    if ((before == nullptr || before->status != after.status) && !after.status.empty()) {
        lines += Line(after.status);
    }
    if ((before == nullptr || before->detail != after.detail) && !after.detail.empty()) {
        lines += Line(after.detail);
    }
    if ((before == nullptr || !before->okEnabled) && after.okEnabled) {
        lines += "[OK]\n";
    }
    return lines;
}

// A reader that stopped reading loses the rest, and the dialog goes on.
void WriteAll(int output, const std::string& text) {
    std::size_t done = 0;
    while (output >= 0 && done < text.size()) {
        const ssize_t written = RetryAfterSignal(-1, write, output, text.data() + done, text.size() - done);
        if (written < 0) {
            if (errno != EAGAIN) {
                return;
            }
            pollfd ready{output, POLLOUT, 0};
            RetryAfterSignal(-1, poll, &ready, 1, -1);
            continue;
        }
        done += static_cast<std::size_t>(written);
    }
}

} // namespace

int32_t RunPlainDialog(DialogModel& model, int output, int wakeRead) {
    model.KeepEveryChange();
    std::optional<DialogContent> printed;
    bool announced = false;
    for (;;) {
        // The kept changes first, in order, then the latest state: a change made between the two reads
        // is written now, and its kept copy next time adds nothing. Nothing made after the end shows, and
        // enabled OK counts as pressed at once.
        std::deque<DialogView> changes = model.TakeChanges();
        changes.push_back(model.Snapshot());
        std::string lines;
        std::optional<int32_t> ended;
        for (const DialogView& change : changes) {
            lines += LinesFor(printed ? &*printed : nullptr, change.content);
            printed = change.content;
            if (change.endResult) {
                ended = change.endResult;
                break;
            }
            if (change.content.okEnabled) {
                ended = kDialogEndedByOk;
                break;
            }
        }
        WriteAll(output, lines);
        if (!announced) {
            model.Shown();
            announced = true;
        }
        if (ended) {
            return *ended;
        }
        pollfd woken{wakeRead, POLLIN, 0};
        RetryAfterSignal(-1, poll, &woken, 1, -1);
        char bytes[64];
        while (read(wakeRead, bytes, sizeof bytes) > 0) {
        }
    }
}

} // namespace ZEPMaintenance::posix
