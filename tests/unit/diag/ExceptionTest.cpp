// Exceptions and message tables: descriptions and languages.
#include "diag/IMException.h"
#include "diag/MessageTable.h"

#include <gtest/gtest.h>

namespace ZEPMaintenance {
namespace {

TEST(MessageTableTest, LanguagesAndTheRowsForUnknownIds) {
    const MessageTable& errors = ErrorMessageTable();
    EXPECT_EQ(errors.Lookup(100, Czech), L"Neplatná hodnota parametru.");
    EXPECT_EQ(errors.Lookup(100, Slovak), L"Neplatná hodnota parametru.");
    EXPECT_EQ(errors.Lookup(100, English), L"Invalid parameter value.");
    EXPECT_EQ(errors.Lookup(101, English), L""); // empty, not the default row
    EXPECT_EQ(errors.Lookup(5, Slovak), L"Neznáma chyba.");
    // Languages 3 and above read English, negative ones Czech.
    EXPECT_EQ(errors.Lookup(100, 7), L"Invalid parameter value.");
    EXPECT_EQ(errors.Lookup(5, -1), L"Neznámá chyba.");

    // Every GUI text is a text of its own, in each language; ids beyond them read the unknown error.
    const MessageTable& gui = GuiTextTable();
    EXPECT_EQ(gui.Lookup(6, Slovak), L"Čakanie na ukončenie klientskej aplikácie");
    EXPECT_EQ(gui.Lookup(7, English), L"Update failed. Rollback to previous version succesfully done.");
    for (int32_t language : {Czech, Slovak, English}) {
        for (int32_t id = 0; id <= 13; ++id) {
            EXPECT_NE(gui.Lookup(id, language), gui.Lookup(14, language)) << id << "/" << language;
        }
        EXPECT_EQ(gui.Lookup(-1, language), gui.Lookup(14, language));
    }
    EXPECT_EQ(gui.Lookup(14, English), L"Unknown error.");
}

// What the log lines' exText carries: the English text of the code, whatever text the throw gave. The
// full descriptions, copies and the standard library's exceptions are no part of any run.
TEST(ExceptionTest, DescriptionsComeFromTheCodeNotTheThrowText) {
    EXPECT_EQ(IMException(137, nullptr).GetErrorDescription(), L"Unknown error.");
    EXPECT_EQ(IMException(100, L"thrown text").GetErrorDescription(), L"Invalid parameter value.");
    EXPECT_EQ(IMException(101, L"Requested executable file not found.").GetErrorDescription(), L"");
    EXPECT_EQ(IMException(101, L"text").GetErrorMessage(), L"text");
    EXPECT_THROW(ThrowIMException(ErrorCode::kArgumentError), IMException);
}

} // namespace
} // namespace ZEPMaintenance
