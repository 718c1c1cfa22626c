// The GUI pipe's conversation between the worker and the loader's dialog: what each message asks of the
// dialog, the texts of the GUI text table by id, and the pace of both ends. The worker's sending side and
// the loader's listener read these names and no others.
#pragma once

#include "diag/MessageTable.h"

#include <cstdint>
#include <string>

namespace ZEPMaintenance {

// What a message of the worker asks of the dialog (the id of the pipe message).
enum class GuiMessageId : int32_t {
    SetStatus = 0,       // the status line shows the text
    CloseDialog = 1,     // the dialog ends with kDialogEndedByProgram: the update succeeded
    EnableOk = 2,        // the OK button can be pressed: the dialog may be closed
    OpenDocument = 3,    // the shell opens the path, unelevated (the program to start after an update)
    ShowErrorDetail = 4, // SetErrorDetail with the text
};

// The rows of the GUI text table.
enum class GuiText : int32_t {
    Caption = 0,               // "Aktualizace"
    Header = 1,                // "Aktualizace aplikace"
    UpdateFailed = 2,          // "Update failed"
    RemovingOldFiles = 3,      // "Removing old files"
    CopyingNewFiles = 4,       // "Copying new files"
    UpdateFinished = 5,        // "Update successfully finished"
    WaitingForHost = 6,        // "Waiting for close of client application"
    RollbackDone = 7,          // "Update failed. Rollback to previous version succesfully done."
    RollbackFailed = 8,        // "Update and rollback to previous version failed."
    ErrorDetailPrefix = 9,     // "Error detail: "
    SetupStarting = 10,        // "Prerequisite setup is starting."
    PostUpgradeActions = 11,   // "Post upgrade actions are starting."
    PreUpgradeActions = 12,    // "Pre upgrade actions are starting."
    StartingMsiInstaller = 13, // "Starting MSI installer."
};

// The row's text in the language (Czech 0, Slovak 1, English 2 and above).
inline std::wstring GuiTextIn(GuiText text, int32_t language) {
    return GuiTextTable().Lookup(static_cast<int32_t>(text), language);
}

// How long the worker pauses after each progress message, so that the loader, which polls every 200 ms,
// shows it before the next one comes.
inline constexpr uint32_t kGuiMessagePauseMs = 300;
// How often the loader looks for the worker's next message.
inline constexpr uint32_t kGuiPollMs = 200;
// How long the loader waits for the worker to connect to its GUI pipe. The worker connects first thing,
// so a minute means it never started; the loader then shows the update as failed and lets the user go.
inline constexpr uint32_t kGuiPipeConnectLimitMs = 60 * 1000;

} // namespace ZEPMaintenance
