// Exceptions and message tables: descriptions, full descriptions, languages, copies.
#include "diag/IMException.h"
#include "diag/MessageTable.h"

#include <gtest/gtest.h>

#include <memory>

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

TEST(ExceptionTest, DescriptionsComeFromTheCodeNotTheThrowText) {
    const IMException argument(137, nullptr);
    EXPECT_EQ(argument.GetErrorDescription(), L"Unknown error.");
    EXPECT_EQ(argument.GetFullDescription(),
              L"class ZEPMaintenance::IMException (ErrorNumber: 137, ErrorMessage: "
              L"<no message>, ErrorDescription: Unknown error.)");
    const IMException missing(101, L"Requested executable file not found.");
    EXPECT_EQ(
        missing.GetFullDescription(),
        L"class ZEPMaintenance::IMException (ErrorNumber: 101, ErrorMessage: Requested executable file not "
        L"found., ErrorDescription: <no description>)");
    const IMException negative(-5, L"");
    EXPECT_NE(negative.GetFullDescription().find(L"(ErrorNumber: -5, "), std::wstring::npos);

    const zepstd::StdLibException bounds(100, L"");
    EXPECT_EQ(bounds.GetErrorDescription(), L"Out of bounds.");
    EXPECT_EQ(zepstd::StdLibException(101, nullptr).GetErrorDescription(), L"Out of memory.");
    EXPECT_EQ(zepstd::StdLibException(7, nullptr).GetErrorDescription(), L"Unknown error.");
    EXPECT_EQ(bounds.GetFullDescription().rfind(L"class zepstd::StdLibException (", 0), 0u);
}

TEST(ExceptionTest, CloneAndRaiseKeepTheDynamicClassCodeAndText) {
    const IMException original(153, L"text");
    const std::unique_ptr<zepstd::ZEPException> copy(original.Clone());
    ASSERT_NE(dynamic_cast<IMException*>(copy.get()), nullptr);
    EXPECT_EQ(copy->GetErrorNumber(), 153);
    EXPECT_EQ(copy->GetErrorMessage(), L"text");
    try {
        copy->Raise();
        FAIL() << "Raise returned";
    } catch (const IMException& e) {
        EXPECT_EQ(e.GetErrorNumber(), 153);
        EXPECT_EQ(e.GetErrorMessage(), L"text");
    }

    const std::unique_ptr<zepstd::ZEPException> library(zepstd::StdLibException(100, L"x").Clone());
    EXPECT_THROW(library->Raise(), zepstd::StdLibException);
    EXPECT_THROW(ThrowIMException(ErrorCode::kArgumentError), IMException);
}

} // namespace
} // namespace ZEPMaintenance
