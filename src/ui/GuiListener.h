// The loader's end of the GUI pipe, where the worker's progress messages become what the dialog shows.
#pragma once

#include "diag/Logger.h"
#include "ui/Dialog.h"

#include <cstdint>
#include <string>

namespace ZEPMaintenance {

class PipeServer;

// What the listener serves and how long it waits for a worker.
struct GuiListening {
    std::wstring pipeName; // the full path of the GUI pipe
    int32_t lang = 0;      // the language of the failure text it shows itself
    uint32_t connectLimitMs = 0;
};

namespace ui {

// Serves the pipe and turns the worker's messages into changes of the dialog until the worker ends the
// conversation (CloseDialog, EnableOk, or its end of the pipe closed). A worker that does not connect
// within the limit leaves the status line saying that the update failed and throws 148; a pipe that
// cannot be made throws 147. Lines go to logger (the controller's).
void ListenOnGuiPipe(Dialog& dialog, const GuiListening& listening, const Logger& logger);
// The same on a pipe the caller has created already under listening.pipeName.
void ListenOnGuiPipe(Dialog& dialog, PipeServer& server, const GuiListening& listening, const Logger& logger);

} // namespace ui

} // namespace ZEPMaintenance
