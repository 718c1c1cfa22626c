// Exceptions and message tables: descriptions, full descriptions, languages, copies.
#include "diag/IMException.h"
#include "diag/MessageTable.h"

#include <gtest/gtest.h>

#include <memory>

namespace ZEPMaintenance {
namespace {

TEST(MessageTableTest, ErrorTableLanguagesAndDefaults) {
    const MessageTable& table = ErrorMessageTable();
    EXPECT_EQ(table.Lookup(100, Slovak), L"Neplatná hodnota parametru.");
    EXPECT_EQ(table.Lookup(100, English), L"Invalid parameter value.");
    EXPECT_EQ(table.Lookup(0, Czech), L"Operace proběhla v pořádku.");
    EXPECT_EQ(table.Lookup(101, English), L""); // empty, not the default row
    EXPECT_EQ(table.Lookup(102, Czech), L"Nepodařilo se zkonvertovat hodnotu na požadovaný datový typ.");
    EXPECT_EQ(table.Lookup(5, Czech), L"Neznámá chyba.");
    EXPECT_EQ(table.Lookup(5, Slovak), L"Neznáma chyba.");
    EXPECT_EQ(table.Lookup(100, 7), L"Invalid parameter value."); // 3 and above read English
    EXPECT_EQ(table.Lookup(100, -1), L"Neplatná hodnota parametru.");
}

TEST(MessageTableTest, GuiTextsInThreeLanguages) {
    const MessageTable& table = GuiTextTable();
    EXPECT_EQ(table.Lookup(0, Czech), L"Aktualizace");
    EXPECT_EQ(table.Lookup(6, Slovak), L"Čakanie na ukončenie klientskej aplikácie");
    EXPECT_EQ(table.Lookup(7, English), L"Update failed. Rollback to previous version succesfully done.");
    EXPECT_EQ(table.Lookup(9, Czech), L"Detail chyby: ");
    EXPECT_EQ(table.Lookup(13, Slovak), L"Spúšťa sa MSI inštalátor.");
    for (int32_t id = 0; id <= 13; ++id) {
        for (int32_t language : {Czech, Slovak, English}) {
            EXPECT_NE(table.Lookup(id, language), table.Lookup(14, language)) << id << "/" << language;
        }
    }
    EXPECT_EQ(table.Lookup(14, English), L"Unknown error.");
    EXPECT_EQ(table.Lookup(-1, Slovak), L"Neznáma chyba.");
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
