// The loader's listener: the worker's messages applied to the dialog at the loader's pace.
#include "ui/GuiListener.h"

#include "diag/IMException.h"
#include "ipc/GuiProtocol.h"
#include "ipc/PipeClient.h"
#include "ipc/PipeServer.h"

namespace ZEPMaintenance {

namespace {

// Applies one message; false when the worker has ended the conversation with it.
bool Apply(Dialog& dialog, const PipeMessage& message) {
    switch (static_cast<GuiMessageId>(message.id)) {
    case GuiMessageId::SetStatus:
        dialog.SetStatus(message.msg);
        return true;
    case GuiMessageId::CloseDialog:
        dialog.EndDialog(kDialogEndedByProgram);
        return false;
    case GuiMessageId::EnableOk:
        dialog.EnableOk();
        return false;
    case GuiMessageId::OpenDocument:
        dialog.OpenDocument(message.msg);
        return true;
    case GuiMessageId::ShowErrorDetail:
        dialog.SetErrorDetail(message.msg);
        return true;
    }
    // Any other id was logged on arrival and means nothing to the dialog.
    return true;
}

} // namespace

namespace ui {

void ListenOnGuiPipe(Dialog& dialog, const GuiListening& listening, const Logger& logger) {
    PipeServer server;
    server.Create(listening.pipeName, ReadMode);
    ListenOnGuiPipe(dialog, server, listening, logger);
}

void ListenOnGuiPipe(Dialog& dialog, PipeServer& server, const GuiListening& listening,
                     const Logger& logger) {
    try {
        server.Bind(listening.connectLimitMs);
    } catch (const IMException&) {
        logger.Error(L"ListenOnGuiPipe: No worker connected to the GUI pipe. (guiPipeName: %ls)",
                     listening.pipeName);
        dialog.SetStatus(GuiTextIn(GuiText::UpdateFailed, listening.lang));
        throw;
    }

    bool keepRunning = true;
    do {
        if (server.IsClosed()) {
            break;
        }
        PipeMessage message;
        if (server.Read(message)) {
            logger.Info(L"ListenOnGuiPipe: Message received. (Id: %d, Msg: %ls)", message.id, message.msg);
            keepRunning = Apply(dialog, message);
        }
        SleepMilliseconds(kGuiPollMs);
    } while (keepRunning);

    // A worker gone without its last message, or a frame the pipe could not read, ends the conversation
    // too; the loader goes on as after the last message.
    if (const PipeFailure failure = server.LastFailure(); failure.code != 0) {
        logger.Warn(L"ListenOnGuiPipe: The GUI pipe failed. (code: %d, lastError: %d)", failure.code,
                    failure.systemError);
    }
    logger.DebugText(L"WaitForClose");
    server.WaitForThreads();
    server.Close();
}

} // namespace ui

} // namespace ZEPMaintenance
