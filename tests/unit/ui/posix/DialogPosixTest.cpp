// The Linux dialog's faces: plain lines where it has no terminal, and the frames it draws on one.
#include "ui/Dialog.h"

#include "base/posix/Utf8.h"
#include "diag/MessageTable.h"
#include "support/DialogOutput.h"
#include "ui/posix/DialogFaces.h"

#include <gtest/gtest.h>
#include <map>

namespace ZEPMaintenance {
namespace {

using Lines = std::vector<std::string>;

TEST(PlainDialogTest, WritesALinePerChangeAndEndsAsPressedOnceOkIsEnabled) {
    test::DialogOutput output;
    std::atomic<bool> ready{false};
    Dialog dialog(ready);
    dialog.SetStatus(L"Čakanie");
    output.Start(dialog);
    ASSERT_TRUE(dialog.WaitUntilReady());
    dialog.SetLanguage(Slovak);
    // Each status is written, however quickly the next follows; an empty one clears without a line.
    dialog.SetStatus(GuiTextTable().Lookup(3, Slovak));
    dialog.SetStatus(GuiTextTable().Lookup(4, Slovak));
    dialog.SetStatus(L"");
    dialog.SetStatus(GuiTextTable().Lookup(5, Slovak));
    // A line end in a text cannot split its line.
    dialog.SetErrorDetail(L"chýba\nsúbor");
    dialog.EnableOk();
    EXPECT_EQ(dialog.WaitForEnd(), kDialogEndedByOk);
    EXPECT_EQ(output.Lines(), (Lines{
                                  "Aktualizace: Aktualizace probíhá...",
                                  "Čakanie",
                                  "Aktualizácia: Aktualizácia aplikácie",
                                  "Odstraňovanie pôvodných súborov",
                                  "Kopírovanie nových súborov",
                                  "Aktualizácia úspešne ukončená",
                                  "Detail chyby: chýba súbor",
                                  "[OK]",
                              }));
}

// Ended by the program, the dialog shows no OK, and enabling OK afterwards changes nothing. The lines
// of a whole conversation are the integration tests' (dialog_terminal_test, dialog_pipe_test).
TEST(PlainDialogTest, EndedByTheProgramItShowsNoOk) {
    test::DialogOutput output;
    std::atomic<bool> ready{false};
    Dialog dialog(ready);
    output.Start(dialog);
    ASSERT_TRUE(dialog.WaitUntilReady());
    dialog.EndDialog(kDialogEndedByProgram);
    dialog.EnableOk();
    EXPECT_EQ(dialog.WaitForEnd(), kDialogEndedByProgram);
    EXPECT_EQ(output.Lines(), Lines{"Aktualizace: Aktualizace probíhá..."});
}

// A frame as the terminal shows it: the text of each row by its position, the sequences left out.
struct Screen {
    // row -> (first column, text)
    std::map<int, std::pair<int, std::wstring>> rows;
    bool clearedFirst = false;
};

Screen Render(const std::string& frame) {
    Screen screen;
    screen.clearedFirst = frame.rfind("\x1b[0m\x1b[H\x1b[2J", 0) == 0;
    int row = 0;
    std::string text;
    const auto flush = [&] {
        if (row > 0) {
            screen.rows[row].second += posix::DecodeUtf8(text, posix::InvalidBytes::Replace);
        }
        text.clear();
    };
    for (std::size_t i = 0; i < frame.size(); ++i) {
        if (frame[i] != '\x1b') {
            text += frame[i];
            continue;
        }
        std::size_t end = i + 2;
        while (end < frame.size() && !std::isalpha(static_cast<unsigned char>(frame[end]))) {
            ++end;
        }
        const std::string parameters = frame.substr(i + 2, end - i - 2);
        if (frame[end] == 'H' && parameters.find(';') != std::string::npos) {
            flush();
            row = std::stoi(parameters);
            screen.rows[row] = {std::stoi(parameters.substr(parameters.find(';') + 1)), L""};
        }
        i = end;
    }
    flush();
    return screen;
}

int Columns(const std::wstring& text) {
    int columns = 0;
    for (const wchar_t c : text) {
        columns += c == L'漢' ? 2 : 1;
    }
    return columns;
}

TEST(TerminalDialogTest, EveryRowOfTheBoxIsAsWideAsTheBoxWhateverTheTexts) {
    DialogContent content;
    content.caption = L"Aktualizácia";
    content.header = L"Aktualizácia aplikácie";
    content.status = L"Kopírovanie nových súborov 漢 " + std::wstring(80, L'ž');
    content.detail = L"Detail chyby: \x1b[31mčervená\ttab";
    for (const auto& [columns, rows] : {std::pair{80, 24}, {64, 8}, {41, 9}, {24, 8}}) {
        const Screen screen = Render(posix::DrawDialog(content, columns, rows));
        const int width = std::min(columns, 64);
        EXPECT_TRUE(screen.clearedFirst);
        ASSERT_EQ(screen.rows.size(), 8u) << columns << "x" << rows;
        int expectedRow = (rows - 8) / 2 + 1;
        for (const auto& [row, placed] : screen.rows) {
            EXPECT_EQ(row, expectedRow++);
            EXPECT_EQ(placed.first, (columns - width) / 2 + 1) << columns << "x" << rows;
            EXPECT_EQ(Columns(placed.second), width)
                << columns << "x" << rows << ": " << placed.second.size();
        }
        const auto& lines = screen.rows;
        const int top = (rows - 8) / 2 + 1;
        EXPECT_EQ(lines.at(top).second.find(L"┌─ Aktualiz"), 0u);
        EXPECT_NE(lines.at(top + 2).second.find(L"Aktualiz"), std::wstring::npos);
        // A long status goes on in the next line, broken at a blank, and is cut where that does not
        // fit either, saying so.
        EXPECT_NE(lines.at(top + 3).second.find(L"Kopírovanie"), std::wstring::npos);
        EXPECT_EQ(lines.at(top + 3).second.find(L'ž'), std::wstring::npos) << columns;
        EXPECT_NE(lines.at(top + 4).second.find(L"žž…"), std::wstring::npos) << columns;
        // Control characters of a text reach the terminal as spaces.
        EXPECT_EQ(lines.at(top + 5).second.find(L'\x1b'), std::wstring::npos);
        EXPECT_NE(lines.at(top + 6).second.find(L"[  OK  ]"), std::wstring::npos);
    }
}

TEST(TerminalDialogTest, ATerminalTooSmallForTheBoxShowsTheLinesFromTheTop) {
    DialogContent content{L"Update", L"Application update", L"Copying new files", L"Error detail: x", true};
    const Screen screen = Render(posix::DrawDialog(content, 12, 4));
    ASSERT_EQ(screen.rows.size(), 4u);
    EXPECT_EQ(screen.rows.at(1).second, L"Update");
    EXPECT_EQ(screen.rows.at(2).second, L"Application…");
    EXPECT_EQ(screen.rows.at(3).second, L"Copying new…");
    EXPECT_EQ(screen.rows.at(4).second, L"Error detai…");
    const Screen tall = Render(posix::DrawDialog(content, 20, 7));
    EXPECT_EQ(tall.rows.at(5).second, L"[  OK  ]");
}

} // namespace
} // namespace ZEPMaintenance
