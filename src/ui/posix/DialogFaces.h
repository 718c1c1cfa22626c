// Linux side of Dialog: its two faces, the dialog drawn in place on a terminal and plain lines.
#pragma once

#include "ui/platform/DialogPrimitives.h"

#include <optional>
#include <string>

namespace ZEPMaintenance::posix {

// One frame of the dialog for a terminal of the size: the screen cleared, a box centred on it with the
// caption in its top border, the three lines and the OK button (dim while disabled, highlighted once
// it can be pressed); on a terminal too small for the box, the same lines from the top. UTF-8 with
// VT100 sequences; control characters in the texts are shown as spaces.
std::string DrawDialog(const DialogContent& content, int columns, int rows);

// Runs the dialog on the terminal (a descriptor of its own, opened non-blocking) until it ends, and
// returns its result: Enter or Space presses OK once it is enabled. wakeRead is woken by each change
// of the model, and by the signal handlers through wakeWrite. The terminal is restored on every way
// out: the end, an exception, and SIGINT, SIGTERM, SIGHUP, SIGQUIT and SIGTSTP where their action is
// the default (a stopped dialog takes the terminal again when continued in the foreground). Nothing
// when the terminal cannot be taken (its modes unreadable, another dialog on it) or is lost: then
// the caller goes on with plain lines.
std::optional<int32_t> RunTerminalDialog(DialogModel& model, int terminal, int wakeRead, int wakeWrite);

// Runs the dialog as plain lines on output until it ends: a line for the caption with the header
// ("caption: header"), one for each status and each error detail, and "[OK]" when OK is enabled, which
// ends it as pressed, since no one can press it. Empty texts print nothing.
int32_t RunPlainDialog(DialogModel& model, int output, int wakeRead);

} // namespace ZEPMaintenance::posix
