// Sha1Hash: hash text parsing and comparison, streaming file hashes and their failures.
#include "system/Sha1Hash.h"

#include "diag/IMException.h"
#include "support/CapturedLog.h"
#include "support/ErrorCodeOf.h"
#include "support/SystemSupport.h"
#include "support/TempDir.h"
#include "system/platform/Sha1HashPrimitives.h"

#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>

namespace ZEPMaintenance {
namespace {

using test::CapturedLog;

using test::CodeOf;

class Sha1HashTest : public ::testing::Test {
protected:
    void SetUp() override { test::EnsureCryptoProvider(); }
    CapturedLog log;
    test::TempDir dir;
};

TEST_F(Sha1HashTest, LowercaseTextIsStoredUppercaseAndComparesByText) {
    Sha1Hash hash;
    EXPECT_EQ(hash.ToString(), "");
    hash.LoadFromString("a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(hash.ToString(), "A9993E364706816ABA3E25717850C26C9CD0D89D");
    EXPECT_EQ(hash.Compare("A9993E364706816ABA3E25717850C26C9CD0D89D"), 0);
    // Comparison is exact: lowercase text of the same digest differs.
    EXPECT_LT(hash.Compare("a9993e364706816aba3e25717850c26c9cd0d89d"), 0);
    EXPECT_EQ(hash.Compare("A9993E364706816ABA3E25717850C26C9CD0D89"), 1);
    EXPECT_EQ(hash.Compare("A9993E364706816ABA3E25717850C26C9CD0D89D0"), -1);
    EXPECT_GT(hash.Compare("A9993E364706816ABA3E25717850C26C9CD0D89C"), 0);
}

// A text of the wrong length keeps the value held; one with a character that is no hex digit empties it.
TEST_F(Sha1HashTest, BadTextFailsWith100) {
    const std::string valid = "da39a3ee5e6b4b0d3255bfef95601890afd80709";
    const std::wstring length = L"LoadFromString:  Incorrect SHA-1 hash length. (expected: 40, actual: ";
    const auto with = [&valid](std::size_t index, char c) {
        std::string text = valid;
        text[index] = c;
        return text;
    };
    const std::wstring character =
        L"LoadFromString:  Incorrect char in SHA-1 hash string. (incorrectChar: \"";
    const struct {
        std::string text;
        std::wstring line;
        const char* kept;
    } cases[] = {{valid.substr(0, 39), length + L"39)", "A9993E364706816ABA3E25717850C26C9CD0D89D"},
                 {valid + "0", length + L"41)", "A9993E364706816ABA3E25717850C26C9CD0D89D"},
                 {with(10, '\0'), length + L"10)", "A9993E364706816ABA3E25717850C26C9CD0D89D"},
                 {"", length + L"0)", "A9993E364706816ABA3E25717850C26C9CD0D89D"},
                 {with(17, 'g'), character + L"g\")", ""},
                 {with(17, ' '), character + L" \")", ""},
                 {with(17, '\xE9'), character + L"\u00E9\")", ""},
                 {with(17, '-'), character + L"-\")", ""}};
    for (const auto& c : cases) {
        Sha1Hash hash;
        hash.LoadFromString("A9993E364706816ABA3E25717850C26C9CD0D89D");
        log.Clear();
        EXPECT_EQ(CodeOf([&] { hash.LoadFromString(c.text); }), 100);
        EXPECT_TRUE(log.Has(LevelError, c.line)) << log.Dump();
        EXPECT_EQ(hash.ToString(), c.kept);
    }
}

// The streaming digests of each length are checked in Sha256HashTest, through the same read.
TEST_F(Sha1HashTest, AFileOpenForWritingIsHashedAndAMissingOneFailsWith116KeepingTheValue) {
    const std::wstring path = dir.Path() + L"busy.txt";
    std::ofstream writer(std::filesystem::path(path), std::ios::binary);
    writer << "abc";
    writer.flush();
    Sha1Hash hash;
    hash.CalcFromFile(path);
    EXPECT_EQ(hash.ToString(), "A9993E364706816ABA3E25717850C26C9CD0D89D");

    const std::wstring missing = dir.Path() + L"missing.bin";
    EXPECT_EQ(CodeOf([&] { hash.CalcFromFile(missing); }), 116);
    EXPECT_TRUE(
        log.Has(LevelError, L"CalcFromFile: CreateFileW failed. (filename: " + missing + L", lastError: 2)"))
        << log.Dump();
    EXPECT_EQ(hash.ToString(), "A9993E364706816ABA3E25717850C26C9CD0D89D");
    EXPECT_EQ(CodeOf([&] { hash.CalcFromFile(dir.Path()); }), 116);
}

TEST(Sha1HashProviderTest, ASecondInitializeReplacesTheProviderAndOneUnInitializeReleasesIt) {
    // Other tests of this program may hold the process-wide provider; it is held again at the end.
    const bool held = platform::IsCryptoProviderAcquired();
    CapturedLog log;
    test::TempDir dir;
    test::WriteTextFile(dir.Path() + L"abc", "abc");
    Sha1Hash::Initialize();
    Sha1Hash::Initialize();
    Sha1Hash hash;
    hash.CalcFromFile(dir.Path() + L"abc");
    EXPECT_EQ(hash.ToString(), "A9993E364706816ABA3E25717850C26C9CD0D89D");
    Sha1Hash::UnInitialize();
    EXPECT_FALSE(platform::IsCryptoProviderAcquired());
    Sha1Hash::UnInitialize();
    EXPECT_TRUE(log.Lines().empty()) << log.Dump();
    if (held) {
        Sha1Hash::Initialize();
    }
}

} // namespace
} // namespace ZEPMaintenance
