// Dialog: the texts, checks and log lines of the progress dialog, and the model its thread reads.
#include "ui/Dialog.h"

#include "base/WinError.h"
#include "diag/IMException.h"
#include "ipc/GuiProtocol.h"
#include "system/WinProcess.h"
#include "ui/platform/DialogPrimitives.h"

namespace ZEPMaintenance {

DialogModel::DialogModel(std::atomic<bool>& readyFlag) : readyFlag_(readyFlag) {
    // What the window initialisation shows before any language is set.
    view_.content.caption = L"Aktualizace";
    view_.content.header = L"Aktualizace probíhá...";
}

void DialogModel::Attach(platform::DialogThreadState* thread) {
    std::lock_guard lock(mutex_);
    attached_ = thread;
}

void DialogModel::WakeAttached() {
    if (attached_ != nullptr) {
        platform::WakeDialogThread(*attached_);
    }
}

bool DialogModel::WaitUntilShownOrEnded() {
    std::unique_lock lock(mutex_);
    stateChanged_.wait(lock, [this] { return shown_ || ended_; });
    return shown_;
}

bool DialogModel::HasEnded() const {
    std::lock_guard lock(mutex_);
    return ended_;
}

int32_t DialogModel::Result() const {
    std::lock_guard lock(mutex_);
    return result_;
}

uint32_t DialogModel::Error() const {
    std::lock_guard lock(mutex_);
    return error_;
}

DialogView DialogModel::Snapshot() const {
    std::lock_guard lock(mutex_);
    return view_;
}

void DialogModel::KeepEveryChange() {
    std::lock_guard lock(mutex_);
    keepEveryChange_ = true;
}

std::deque<DialogView> DialogModel::TakeChanges() {
    std::lock_guard lock(mutex_);
    return std::exchange(changes_, {});
}

void DialogModel::Shown() {
    {
        std::lock_guard lock(mutex_);
        shown_ = true;
        readyFlag_ = true;
    }
    stateChanged_.notify_all();
}

void DialogModel::Ended(int32_t result, uint32_t error) {
    {
        std::lock_guard lock(mutex_);
        ended_ = true;
        result_ = result;
        error_ = error;
        if (!view_.endResult) {
            view_.endResult = result;
        }
    }
    stateChanged_.notify_all();
}

Dialog::Dialog(std::atomic<bool>& readyFlag) : model(std::make_unique<DialogModel>(readyFlag)) {}

Dialog::~Dialog() {
    if (thread) {
        EndDialog(kDialogEndedByProgram);
        WaitForEnd();
    }
}

void Dialog::InitDialogThread() {
    if (started) {
        logger.ErrorText(L"InitDialogThread: The dialog thread was started before.");
        ThrowIMException(ErrorCode::kSystemCallFailed);
    }
    platform::DialogThreadHandle created = platform::NewDialogThreadState(*model);
    if (!created) {
        logger.ErrorText(L"InitDialogThread: pData is NULL");
        ThrowIMException(ErrorCode::kSystemCallFailed);
    }
    // Attached first, so that no change made while the thread starts goes unnoticed.
    model->Attach(created.Get());
    if (platform::StartDialogThread(created) != WinError::kSuccess) {
        model->Attach(nullptr);
        logger.ErrorText(L"InitDialogThread: Thread creation failed");
        ThrowIMException(ErrorCode::kSystemCallFailed);
    }
    thread = std::move(created);
    started = true;
    logger.DebugText(L"InitDialogThread: Dialog thread started.");
}

bool Dialog::WaitUntilReady() {
    if (!started) {
        return false;
    }
    return model->WaitUntilShownOrEnded();
}

bool Dialog::HasEnded() const {
    return started && model->HasEnded();
}

void Dialog::SetLanguage(int32_t language) {
    const std::wstring caption = GuiTextIn(GuiText::Caption, language);
    const std::wstring header = GuiTextIn(GuiText::Header, language);
    model->Update([&](DialogView& view, int32_t& current) {
        current = language;
        view.content.caption = caption;
        view.content.header = header;
    });
    logger.Debug(L"SetLanguage: Language set. (language: %d)", language);
}

void Dialog::SetErrorDetail(const std::wstring& text) {
    model->Update([&](DialogView& view, int32_t& language) {
        view.content.detail = GuiTextIn(GuiText::ErrorDetailPrefix, language) + text;
    });
}

void Dialog::SetStatus(const std::wstring& text) {
    model->Update([&](DialogView& view, int32_t&) { view.content.status = text; });
}

void Dialog::EnableOk() {
    model->Update([](DialogView& view, int32_t&) { view.content.okEnabled = true; });
    logger.DebugText(L"EnableOk: OK button enabled.");
}

void Dialog::EndDialog(int32_t result) {
    model->Update([&](DialogView& view, int32_t&) {
        if (!view.endResult) {
            view.endResult = result;
        }
    });
    logger.Debug(L"EndDialog: The dialog is to end. (result: %d)", result);
}

int32_t Dialog::WaitForEnd() {
    if (thread) {
        platform::JoinDialogThread(thread);
        model->Attach(nullptr);
        thread.Reset();
        const int32_t result = model->Result();
        if (result == kDialogNotShown) {
            logger.Error(L"WaitForEnd: The dialog could not be shown. (lastError: %d)", model->Error());
        } else {
            logger.Debug(L"WaitForEnd: Dialog thread ended. (result: %d)", result);
        }
    }
    return model->Result();
}

bool Dialog::OpenDocument(const std::wstring& path) {
    try {
        WinProcess process;
        process.Start(path, L"", L"", false);
        return true;
    } catch (const IMException& e) {
        logger.Error(L"OpenDocument: The document was not opened. (path: %ls, exCode: %d, exText: %ls)", path,
                     e.GetErrorNumber(), e.GetErrorDescription());
        return false;
    }
}

DialogContent Dialog::GetContent() const {
    return model->Snapshot().content;
}

} // namespace ZEPMaintenance
