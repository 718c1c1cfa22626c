// The progress dialog on either platform: its thread, readiness, texts per language, and how it ends.
#include "ui/Dialog.h"

#include "base/Platform.h"
#include "diag/IMException.h"
#include "support/CapturedLog.h"
#include "support/DialogOutput.h"
#include "support/ErrorCodeOf.h"
#include "support/TestChild.h"
#include "system/Text.h"

#include <gtest/gtest.h>

namespace ZEPMaintenance {
namespace {

using test::ChildProgram;

class DialogTest : public testing::Test {
protected:
    void SetUp() override {
        if (const char* reason = test::DialogSkipReason()) {
            GTEST_SKIP() << reason;
        }
    }

    test::CapturedLog log;
    test::DialogOutput output;
    std::atomic<bool> ready{false};
};

TEST_F(DialogTest, RaisesTheReadyFlagOnceOnScreenAndEndsWithTheProgramsResult) {
    Dialog dialog(ready);
    // Not started: nothing to wait for.
    EXPECT_FALSE(dialog.WaitUntilReady());
    EXPECT_EQ(dialog.WaitForEnd(), kDialogNotShown);
    EXPECT_FALSE(ready);
    output.Start(dialog);
    ASSERT_TRUE(dialog.WaitUntilReady());
    EXPECT_TRUE(ready);
    EXPECT_EQ(test::CodeOf([&] { dialog.InitDialogThread(); }), 110);
    EXPECT_TRUE(log.Has(LevelError, L"InitDialogThread: The dialog thread was started before."));
    // What the window initialisation shows before a language is set.
    const DialogContent initial = dialog.GetContent();
    EXPECT_EQ(initial.caption, L"Aktualizace");
    EXPECT_EQ(initial.header, L"Aktualizace probíhá...");
    EXPECT_EQ(initial.status + initial.detail, L"");
    EXPECT_FALSE(initial.okEnabled);

    dialog.EndDialog(kDialogEndedByProgram);
    // The first end decides.
    dialog.EndDialog(7);
    EXPECT_EQ(dialog.WaitForEnd(), kDialogEndedByProgram);
    // The thread has been waited for: asking again returns at once with the same result.
    EXPECT_EQ(dialog.WaitForEnd(), kDialogEndedByProgram);
    EXPECT_TRUE(log.Has(LevelDebug, L"WaitForEnd: Dialog thread ended. (result: 5)")) << log.Dump();
}

TEST_F(DialogTest, TextsFollowTheLanguage) {
    const struct {
        int32_t language;
        const wchar_t* caption;
        const wchar_t* header;
        const wchar_t* detail;
    } cases[] = {
        {0, L"Aktualizace", L"Aktualizace aplikace", L"Detail chyby: disk plný"},
        {1, L"Aktualizácia", L"Aktualizácia aplikácie", L"Detail chyby: disk plný"},
        {2, L"Update", L"Application update", L"Error detail: disk plný"},
        // Languages beyond the three read the English texts.
        {7, L"Update", L"Application update", L"Error detail: disk plný"},
    };
    for (const auto& expected : cases) {
        Dialog dialog(ready);
        output.Start(dialog);
        ASSERT_TRUE(dialog.WaitUntilReady());
        dialog.SetLanguage(expected.language);
        dialog.SetErrorDetail(L"disk plný");
        const DialogContent content = dialog.GetContent();
        EXPECT_EQ(content.caption, expected.caption) << expected.language;
        EXPECT_EQ(content.header, expected.header) << expected.language;
        EXPECT_EQ(content.detail, expected.detail) << expected.language;
        dialog.EndDialog(kDialogEndedByProgram);
        EXPECT_EQ(dialog.WaitForEnd(), kDialogEndedByProgram);
    }
}

TEST_F(DialogTest, ADialogLeftShowingIsEndedAndItsThreadWaitedForWithTheObject) {
    {
        Dialog dialog(ready);
        output.Start(dialog);
        ASSERT_TRUE(dialog.WaitUntilReady());
        dialog.SetStatus(L"still showing");
    }
    EXPECT_TRUE(log.Has(LevelDebug, L"WaitForEnd: Dialog thread ended. (result: 5)")) << log.Dump();
}

// A program the shell can start: the test child, which exits at once without arguments. Not a
// "Dialog" test: those also run on a screen, where a failing start shows the shell's error box.
TEST(OpenDocumentTest, StartsThePathUnelevatedWithoutParametersOrFolder) {
    test::CapturedLog log;
    std::atomic<bool> ready{false};
    Dialog dialog(ready);
    const std::string program = WideToMultiByte(ChildProgram(), kAnsiCodePage);
    EXPECT_TRUE(dialog.OpenDocument(ChildProgram()));
    EXPECT_TRUE(log.Has(LevelInfo, Utf8ToWide("Start: Process started. (file: " + program +
                                              ", parameters: , directory: , runAsAdmin: 0)")))
        << log.Dump();

    const std::wstring missing = ChildProgram() + L".missing";
    EXPECT_FALSE(dialog.OpenDocument(missing));
    EXPECT_TRUE(log.Has(LevelError, L"OpenDocument: The document was not opened. (path: " + missing +
                                        L", exCode: 111, exText: Unknown error.)"))
        << log.Dump();
}

} // namespace
} // namespace ZEPMaintenance
