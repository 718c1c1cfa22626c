// The Windows dialog as its user sees it: the window of template 101, its controls' texts and OK.
#include "ui/Dialog.h"

#include "diag/MessageTable.h"
#include "support/CapturedLog.h"
#include "support/DialogOutput.h"
#include "support/SystemSupport.h"
#include "support/win/DialogWindow.h"

#include <gtest/gtest.h>

namespace ZEPMaintenance {
namespace {

using test::DialogWindowView;

class DialogWindowTest : public testing::Test {
protected:
    void SetUp() override {
        if (const char* reason = test::DialogSkipReason()) {
            GTEST_SKIP() << reason;
        }
    }

    // Shows the dialog and returns its window.
    HWND Show() {
        dialog.InitDialogThread();
        EXPECT_TRUE(dialog.WaitUntilReady());
        return test::FindDialogWindow();
    }

    std::atomic<bool> ready{false};
    Dialog dialog{ready};
};

// As the dialog manager places a control: position and size each converted from dialog units.
RECT InDialogUnits(HWND window, LONG left, LONG top, LONG width, LONG height) {
    RECT placed{left, top, width, height};
    MapDialogRect(window, &placed);
    return {placed.left, placed.top, placed.left + placed.right, placed.top + placed.bottom};
}

RECT InClientOf(HWND window, HWND control) {
    RECT rect{};
    GetWindowRect(control, &rect);
    MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&rect), 2);
    return rect;
}

bool operator==(const RECT& a, const RECT& b) {
    return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}

TEST_F(DialogWindowTest, IsTemplate101WithItsControlsSizesAndStyles) {
    const HWND window = Show();
    ASSERT_NE(window, nullptr);
    const LONG_PTR style = GetWindowLongPtrW(window, GWL_STYLE);
    EXPECT_EQ(style & WS_CAPTION, WS_CAPTION);
    EXPECT_EQ(style & WS_POPUP, WS_POPUP);
    // No system menu: nothing but OK closes it.
    EXPECT_EQ(style & WS_SYSMENU, 0);
    EXPECT_NE(GetWindowLongPtrW(window, GWL_EXSTYLE) & WS_EX_DLGMODALFRAME, 0);

    RECT client{};
    GetClientRect(window, &client);
    const RECT size = InDialogUnits(window, 0, 0, 290, 70);
    EXPECT_EQ(client.right, size.right);
    EXPECT_EQ(client.bottom, size.bottom);
    const struct {
        int id;
        RECT rect;
        LONG_PTR kind;
    } controls[] = {
        {1002, InDialogUnits(window, 119, 49, 50, 14), BS_DEFPUSHBUTTON},
        {1003, InDialogUnits(window, 7, 7, 276, 8), SS_CENTER},
        {1004, InDialogUnits(window, 7, 20, 276, 8), SS_CENTER},
        {1005, InDialogUnits(window, 7, 34, 276, 8), SS_LEFT},
    };
    for (const auto& control : controls) {
        const HWND item = GetDlgItem(window, control.id);
        ASSERT_NE(item, nullptr) << control.id;
        const RECT actual = InClientOf(window, item);
        EXPECT_TRUE(actual == control.rect) << control.id << ": " << actual.left << "," << actual.top << " "
                                            << actual.right << "," << actual.bottom;
        EXPECT_EQ(GetWindowLongPtrW(item, GWL_STYLE) & 0x0F, control.kind) << control.id;
        EXPECT_TRUE(IsWindowVisible(item)) << control.id;
    }
    EXPECT_EQ(SendMessageW(window, DM_GETDEFID, 0, 0), MAKELONG(1002, DC_HASDEFID));

    // Centred on the screen's work area.
    RECT frame{};
    GetWindowRect(window, &frame);
    RECT work{};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    EXPECT_LE(std::abs((frame.left + frame.right) - (work.left + work.right)), 2);
    EXPECT_LE(std::abs((frame.top + frame.bottom) - (work.top + work.bottom)), 2);

    // "MS Shell Dlg", 8 point.
    LOGFONTW font{};
    GetObjectW(reinterpret_cast<HFONT>(SendMessageW(window, WM_GETFONT, 0, 0)), sizeof font, &font);
    EXPECT_STREQ(font.lfFaceName, L"MS Shell Dlg");
    const HDC screen = GetDC(nullptr);
    EXPECT_EQ(font.lfHeight, -MulDiv(8, GetDeviceCaps(screen, LOGPIXELSY), 72));
    ReleaseDC(nullptr, screen);

    // What the window initialisation shows: the template's texts are replaced.
    const DialogWindowView shown = test::ReadDialogWindow(window);
    EXPECT_EQ(shown.caption, L"Aktualizace");
    EXPECT_EQ(shown.ok, L"OK");
    EXPECT_EQ(shown.header, L"Aktualizace probíhá...");
    EXPECT_EQ(shown.status, L"");
    EXPECT_EQ(shown.detail, L"");
    EXPECT_FALSE(shown.okEnabled);
}

TEST_F(DialogWindowTest, ShowsTheTextsInItsLanguageAndEachStatusInPlaceOfTheLast) {
    const HWND window = Show();
    ASSERT_NE(window, nullptr);
    dialog.SetLanguage(Slovak);
    dialog.SetStatus(GuiTextTable().Lookup(4, Slovak));
    dialog.SetErrorDetail(L"chýba súbor");
    EXPECT_TRUE(test::WaitForView(window, [](const DialogWindowView& view) {
        return view.caption == L"Aktualizácia" && view.header == L"Aktualizácia aplikácie" &&
               view.status == L"Kopírovanie nových súborov" && view.detail == L"Detail chyby: chýba súbor";
    }));
    dialog.SetStatus(GuiTextTable().Lookup(5, Slovak));
    EXPECT_TRUE(test::WaitForView(window, [](const DialogWindowView& view) {
        return view.status == L"Aktualizácia úspešne ukončená";
    }));
    dialog.SetStatus(L"");
    EXPECT_TRUE(test::WaitForView(window, [](const DialogWindowView& view) { return view.status.empty(); }));
    EXPECT_EQ(test::ReadDialogWindow(window).detail, L"Detail chyby: chýba súbor");
}

TEST_F(DialogWindowTest, ChangesMadeBeforeItIsShownAreOnItFromTheStart) {
    dialog.SetLanguage(English);
    dialog.SetStatus(L"Waiting for close of client application");
    const HWND window = Show();
    ASSERT_NE(window, nullptr);
    const DialogWindowView shown = test::ReadDialogWindow(window);
    EXPECT_EQ(shown.caption, L"Update");
    EXPECT_EQ(shown.header, L"Application update");
    EXPECT_EQ(shown.status, L"Waiting for close of client application");
}

TEST_F(DialogWindowTest, OkEndsTheDialogOnlyOnceEnabled) {
    const HWND window = Show();
    ASSERT_NE(window, nullptr);
    test::ClickOk(window);
    dialog.EnableOk();
    ASSERT_TRUE(test::WaitForView(window, [](const DialogWindowView& view) { return view.okEnabled; }));
    test::ClickOk(window);
    EXPECT_EQ(dialog.WaitForEnd(), kDialogEndedByOk);
    EXPECT_EQ(test::FindDialogWindow(), nullptr);
}

TEST_F(DialogWindowTest, AClickOnTheDisabledOkLeavesTheEndToTheProgram) {
    const HWND window = Show();
    ASSERT_NE(window, nullptr);
    test::ClickOk(window);
    dialog.EndDialog(kDialogEndedByProgram);
    EXPECT_EQ(dialog.WaitForEnd(), kDialogEndedByProgram);
}

TEST(DialogWithoutDisplayTest, ADialogThatCannotBeShownSaysSo) {
    if (!test::RunningUnderWine() || test::DialogSkipReason() == nullptr) {
        GTEST_SKIP() << "needs Wine without an X display";
    }
    test::CapturedLog log;
    std::atomic<bool> ready{false};
    Dialog dialog(ready);
    dialog.InitDialogThread();
    EXPECT_FALSE(dialog.WaitUntilReady());
    EXPECT_FALSE(ready);
    EXPECT_EQ(dialog.WaitForEnd(), kDialogNotShown);
    EXPECT_TRUE(log.Contains(L"WaitForEnd: The dialog could not be shown. (lastError: ")) << log.Dump();
}

} // namespace
} // namespace ZEPMaintenance
