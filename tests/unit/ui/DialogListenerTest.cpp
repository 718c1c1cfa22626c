// The loader's end of the GUI pipe: a worker's progress messages become what the dialog shows, until the
// worker ends the conversation or goes away.
#include "app/Maintenance.h"
#include "base/Platform.h"
#include "diag/MessageTable.h"
#include "system/Text.h"
#include "ui/Dialog.h"

#include "support/CapturedLog.h"
#include "support/DialogOutput.h"
#include "unit/ipc/PipeTestSupport.h"

#include <algorithm>
#include <future>
#include <gtest/gtest.h>
#include <thread>

namespace ZEPMaintenance {
namespace {

class DialogListenerTest : public testing::Test {
protected:
    void SetUp() override {
        if (const char* reason = test::DialogSkipReason()) {
            GTEST_SKIP() << reason;
        }
        output.Start(dialog);
        ASSERT_TRUE(dialog.WaitUntilReady());
        dialog.SetLanguage(Slovak);
        loader.lang = Slovak;
        loader.guiPipeName = worker.guiPipeName = test::FreshPipeName();
        worker.lang = Slovak;
    }

    // The loader listens on its own thread, as its main thread does while the dialog's runs. The worker
    // comes once the loader waits for it, as the loader starts the worker only after making the pipe.
    void StartListening() {
        listening = std::async(std::launch::async, [this] { loader.ListenOnGuiPipe(dialog); });
        const auto giveUp = std::chrono::steady_clock::now() + std::chrono::minutes(1);
        while (!log.Has(LevelDebug, L"Bind") && std::chrono::steady_clock::now() < giveUp) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        worker.guiPipe.Connect(worker.guiPipeName, WriteMode);
    }

    // The worker goes; true once the listener has returned (what it threw is thrown here), false when it
    // still runs after a minute.
    bool Finished() {
        worker.guiPipe.Close();
        if (listening.wait_for(std::chrono::minutes(1)) != std::future_status::ready) {
            return false;
        }
        listening.get();
        return true;
    }

    bool Received(int32_t id, const std::wstring& text) const {
        return log.Has(LevelInfo, L"ListenOnGuiPipe: Message received. (Id: " + std::to_wstring(id) +
                                      L", Msg: " + text + L")");
    }

    test::CapturedLog log;
    test::ScopedMachineRoot machine;
    test::DialogOutput output;
    std::atomic<bool> ready{false};
    Dialog dialog{ready};
    Maintenance loader;
    Maintenance worker;
    std::future<void> listening;
};

TEST_F(DialogListenerTest, EnableOkEndsTheListeningAndLaterMessagesAreNotShown) {
    StartListening();
    worker.SendGuiMessage(0, L"Kopírovanie");
    worker.SendGuiMessage(4, L"disk plný");
    // Unknown ids are logged and change nothing; an empty status clears the line.
    worker.SendGuiMessage(7, L"neznáme");
    worker.SendGuiMessage(0, L"");
    worker.SendGuiMessage(2, L"");
    worker.SendGuiMessage(0, L"neskoro");
    ASSERT_TRUE(Finished()) << log.Dump();

    const DialogContent content = dialog.GetContent();
    EXPECT_EQ(content.status, L"");
    EXPECT_EQ(content.detail, L"Detail chyby: disk plný");
    EXPECT_TRUE(content.okEnabled);
    EXPECT_TRUE(Received(0, L"Kopírovanie") && Received(7, L"neznáme") && Received(2, L"")) << log.Dump();
    EXPECT_FALSE(Received(0, L"neskoro"));
    const std::vector<std::string> lines = output.Lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "neskoro"), 0);
}

// The closing message, the program started after the update and a worker that never comes are the
// integration tests' conversations between two processes (dialog_pipe_test).
TEST_F(DialogListenerTest, AWorkerGoneWithoutItsLastMessageEndsTheListeningWithOkStillDisabled) {
    StartListening();
    worker.SendGuiText(4);
    ASSERT_TRUE(Finished()) << log.Dump();
    EXPECT_EQ(dialog.GetContent().status, L"Kopírovanie nových súborov");
    // Enabling OK is the loader's next step, not the listener's.
    EXPECT_FALSE(dialog.GetContent().okEnabled);
}

} // namespace
} // namespace ZEPMaintenance
