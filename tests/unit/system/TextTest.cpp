// Text and identifier conversions.
#include "system/Text.h"
#include "diag/IMException.h"

#include <gtest/gtest.h>

namespace ZEPMaintenance {
namespace {

TEST(TextTest, Utf8RoundTripAndEmbeddedNul) {
    const std::wstring text = L"Žluťoučký kůň € 𝄞";
    const std::string utf8 = WideToMultiByte(text, kUtf8CodePage);
    EXPECT_EQ(utf8, "Žluťoučký kůň € 𝄞");
    EXPECT_EQ(Utf8ToWide(utf8), text);
    EXPECT_EQ(WideToMultiByte(std::wstring(L"ab\0cd", 5), kUtf8CodePage), "ab");
    EXPECT_EQ(Utf8ToWide(std::string("ab\0cd", 5)), L"ab");
    EXPECT_EQ(WideToMultiByte(L"", kAnsiCodePage), "");
    EXPECT_EQ(Utf8ToWide(""), L"");
    // What cannot be converted is replaced, not lost with the rest of the text.
    EXPECT_EQ(Utf8ToWide("a\xC3\x28z"), L"a\xFFFD(z");
    EXPECT_EQ(WideToMultiByte(std::wstring{L'a', static_cast<wchar_t>(0xD800), L'z'}, kUtf8CodePage),
              "a\xEF\xBF\xBDz");
    EXPECT_EQ(CharToWide("Jul  4 2022"), L"Jul  4 2022");
    EXPECT_EQ(CharToWide(nullptr), L"");
    EXPECT_EQ(CharToWide(""), L"");
}

TEST(TextTest, ToUpperIsLocaleAware) {
    EXPECT_EQ(ToUpper(L"setup.exe"), L"SETUP.EXE");
    EXPECT_EQ(ToUpper(L"příliš žluťoučký"), L"PŘÍLIŠ ŽLUŤOUČKÝ");
    EXPECT_EQ(ToUpper(L""), L"");
    EXPECT_EQ(ToUpper(std::wstring(L"ab\0cd", 5)), L"AB");
}

TEST(TextTest, DirectoryPart) {
    EXPECT_EQ(GetDirectoryPart(L"C:\\x\\y.exe"), L"C:\\x");
    EXPECT_EQ(GetDirectoryPart(L"C:/x/y.exe"), L"C:/x");
    EXPECT_EQ(GetDirectoryPart(L"y.exe"), L"");
    EXPECT_EQ(GetDirectoryPart(L"/usr/bin/zepmaintenance"), L"/usr/bin");
}

TEST(SidTest, StringFormsAndWellKnownSids) {
    EXPECT_EQ(SidFromString(L"S-1-5-32-544"), CSid::Administrators());
    EXPECT_EQ(SidFromString(L"S-1-5-32-545"), CSid::Users());
    EXPECT_EQ(SidFromString(L"S-1-5-18"), CSid::LocalSystem());
    EXPECT_FALSE(CSid::Users() == CSid::Administrators());
    const CSid user = SidFromString(L"S-1-5-21-1004336348-1177238915-682003330-512");
    EXPECT_TRUE(user.IsValid());
    EXPECT_EQ(user.Sid(), L"S-1-5-21-1004336348-1177238915-682003330-512");
    EXPECT_EQ(user.GetSubAuthorities().size(), 5u);
    EXPECT_FALSE(CSid().IsValid());
    EXPECT_EQ(CSid().Sid(), L"");
}

TEST(SidTest, MalformedTextThrows100WithItsText) {
    for (const wchar_t* bad : {L"word", L"", L"S-1-", L"S-1-5-", L"S-1-5-x", L"S-2-5-32"}) {
        try {
            SidFromString(bad);
            ADD_FAILURE() << "accepted: " << WideToMultiByte(bad, kUtf8CodePage);
        } catch (const IMException& e) {
            EXPECT_EQ(e.GetErrorNumber(), 100);
            EXPECT_EQ(e.GetErrorMessage(), L"ConvertStringSidToSid failed");
        }
    }
}

} // namespace
} // namespace ZEPMaintenance
