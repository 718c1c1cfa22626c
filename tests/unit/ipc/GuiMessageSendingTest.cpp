// The worker's side of the GUI pipe: each progress message written, then the pause, texts in the run's
// language.
#include "app/Maintenance.h"
#include "diag/MessageTable.h"
#include "ipc/PipeServer.h"

#include "support/CapturedLog.h"
#include "unit/ipc/PipeTestSupport.h"

#include <gtest/gtest.h>

namespace ZEPMaintenance {
namespace {

using test::CapturedLog;

class GuiMessageSendingTest : public ::testing::Test {
protected:
    void SetUp() override {
        // Each pause sees what the loader has received by then.
        worker.guiMessagePause = [this](uint32_t milliseconds) {
            pauses.push_back(milliseconds);
            PipeMessage message;
            if (loader.GetMode() != 0 && test::NextMessage(loader, message)) {
                received.push_back(message);
            }
        };
    }

    void Connect() {
        loader.Create(name, ReadMode);
        worker.guiPipe.Connect(name, WriteMode);
        loader.Bind();
    }

    CapturedLog log;
    test::ScopedMachineRoot machine;
    const std::wstring name = test::FreshPipeName();
    PipeServer loader;
    Maintenance worker;
    std::vector<uint32_t> pauses;
    std::vector<PipeMessage> received;
};

TEST_F(GuiMessageSendingTest, EachMessageIsOnThePipeBeforeThePause) {
    Connect();
    worker.lang = English;
    worker.SendGuiText(8);
    worker.SendGuiMessage(3, L"/opt/product/run after.sh");
    worker.SendGuiMessage(1, L"");
    EXPECT_EQ(pauses, (std::vector<uint32_t>{kGuiMessagePauseMs, kGuiMessagePauseMs, kGuiMessagePauseMs}));
    EXPECT_EQ(kGuiMessagePauseMs, 300u);
    EXPECT_EQ(received, (std::vector<PipeMessage>{{0, L"Update and rollback to previous version failed."},
                                                  {3, L"/opt/product/run after.sh"},
                                                  {1, L""}}))
        << log.Dump();
}

TEST_F(GuiMessageSendingTest, TextsComeInTheRunsLanguage) {
    Connect();
    worker.lang = Slovak;
    worker.SendGuiText(4);
    worker.lang = Czech;
    worker.SendGuiText(6);
    worker.lang = 7;
    worker.SendGuiText(13);
    worker.SendGuiText(14);
    EXPECT_EQ(received, (std::vector<PipeMessage>{{0, L"Kopírovanie nových súborov"},
                                                  {0, L"Čekání na ukončení klientské aplikace"},
                                                  {0, L"Starting MSI installer."},
                                                  {0, L"Unknown error."}}));
}

TEST_F(GuiMessageSendingTest, AWorkerWithoutAPipeStillPauses) {
    worker.SendGuiMessage(2, L"");
    EXPECT_TRUE(log.Has(LevelWarn, L"SendWorker - WriteMode is not enabled!"));
    EXPECT_EQ(pauses, std::vector<uint32_t>{kGuiMessagePauseMs});
    EXPECT_TRUE(received.empty());
}

} // namespace
} // namespace ZEPMaintenance
