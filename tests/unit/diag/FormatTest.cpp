// The formatter: Windows-convention string conversions, widths, integer sizes, failures.
#include "diag/Format.h"
#include "system/Text.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace ZEPMaintenance {
namespace {

TEST(FormatTest, StringConversionsFollowTheWindowsWideConvention) {
    const std::wstring wide = L"Přílišný";
    const std::string narrow = "ABCDEF0123";
    EXPECT_EQ(Format(L"%s|%ls|%hs", wide, L"x", narrow), L"Přílišný|x|ABCDEF0123");
    EXPECT_EQ(Format(L"[%-5s][%5s][%.2s]", L"INFO", L"WARN", L"abcdef"), L"[INFO ][ WARN][ab]");
    // Narrow text is read in the ANSI code page.
    EXPECT_EQ(Format(L"%hs", WideToMultiByte(L"naïve", kAnsiCodePage)), L"naïve");
    // A string argument ends at its first NUL, as the C runtime reads it.
    EXPECT_EQ(Format(L"<%ls>", std::wstring(L"ab\0cd", 5)), L"<ab>");
}

TEST(FormatTest, IntegersHonourLengthModifiersWidthAndFlags) {
    EXPECT_EQ(Format(L"%04hu-%02hu-%02hu,%03hu", uint16_t{2022}, uint16_t{7}, uint16_t{4}, uint16_t{42}),
              L"2022-07-04,042");
    EXPECT_EQ(Format(L"%d %d %i", -137, 0, INT32_MIN), L"-137 0 -2147483648");
    // long is 32 bits in the Windows convention, on every platform.
    EXPECT_EQ(Format(L"%lu %ld", uint32_t{4294967295u}, int32_t{-1}), L"4294967295 -1");
    EXPECT_EQ(Format(L"%hu %hd", 70000, 65535), L"4464 -1");
    EXPECT_EQ(Format(L"%lld %I64u", int64_t{-5000000000}, uint64_t{5000000000}), L"-5000000000 5000000000");
    EXPECT_EQ(Format(L"%x %X %08X %#x %o", 255u, 255u, 0xBEEFu, 16u, 8u), L"ff FF 0000BEEF 0x10 10");
    EXPECT_EQ(Format(L"[%5d][%-5d][%05d][%+d][%.3d]", 42, 42, -42, 7, 5), L"[   42][42   ][-0042][+7][005]");
    EXPECT_EQ(Format(L"%d", -2147024894), L"-2147024894");
}

TEST(FormatTest, CharactersPercentAndFloats) {
    EXPECT_EQ(Format(L"\"%c\" %hc 100%%", L'ž', 'g'), L"\"ž\" g 100%");
    EXPECT_EQ(Format(L"%.2f|%5.1f", 3.14159, 2.0), L"3.14|  2.0");
}

TEST(FormatTest, RuntimeMismatchOrOverflowFails) {
    using format_detail::Arg;
    using format_detail::MakeArg;
    std::wstring out;
    const Arg text[] = {MakeArg(L"x")};
    const Arg number[] = {MakeArg(5)};
    const Arg wide[] = {MakeArg(int64_t{5})};
    EXPECT_FALSE(FormatWithArgs(out, L"%d", wide, 1, 100));
    EXPECT_FALSE(FormatWithArgs(out, L"%d", text, 1, 100));
    EXPECT_FALSE(FormatWithArgs(out, L"%s", number, 1, 100));
    EXPECT_FALSE(FormatWithArgs(out, L"%d %d", number, 1, 100));         // too few arguments
    EXPECT_FALSE(FormatWithArgs(out, L"no conversion", number, 1, 100)); // too many
    EXPECT_FALSE(FormatWithArgs(out, L"%y", number, 1, 100));
    EXPECT_FALSE(FormatWithArgs(out, L"%", number, 1, 100));
    EXPECT_TRUE(FormatWithArgs(out, L"%d", number, 1, 1));
    EXPECT_FALSE(FormatWithArgs(out, L"%5d", number, 1, 4));
}

TEST(FormatTest, CompileTimeCheckAcceptsMatchingFormatsOnly) {
    using format_detail::ArgKind;
    using format_detail::FormatMatches;
    static_assert(FormatMatches(L"%d %ls %hs", {ArgKind::Integer, ArgKind::WideText, ArgKind::NarrowText}));
    static_assert(!FormatMatches(L"%hs", {ArgKind::WideText}));
    static_assert(!FormatMatches(L"%d", {}));
    // 64-bit values need a 64-bit conversion, and only they take one.
    static_assert(!FormatMatches(L"%d", {format_detail::KindOf<int64_t>()}));
    static_assert(!FormatMatches(L"%lu", {format_detail::KindOf<uint64_t>()}));
    static_assert(
        FormatMatches(L"%llu %I64d", {format_detail::KindOf<uint64_t>(), format_detail::KindOf<int64_t>()}));
    static_assert(!FormatMatches(L"%lld", {format_detail::KindOf<int32_t>()}));
    static_assert(FormatMatches(L"%zu", {format_detail::KindOf<std::size_t>()}));
    static_assert(FormatMatches(L"100%% done", {}));
    SUCCEED();
}

} // namespace
} // namespace ZEPMaintenance
