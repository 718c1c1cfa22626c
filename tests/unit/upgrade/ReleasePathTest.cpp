// Release paths: what may be joined to a folder the worker was given, and in which separators.
#include "upgrade/ReleasePath.h"

#include "base/Platform.h"

#include <gtest/gtest.h>

namespace ZEPMaintenance {
namespace {

TEST(ReleasePathTest, PathsInsideTheFolderAreAccepted) {
    for (const wchar_t* path : {L"a.dll", L"bin\\old.dll", L"bin/old.dll", L".\\a.dll", L"a\\.\\b", L"a\\",
                                L"a b\\c d.txt", L"...a", L"a..b", L"Čeština\\soubor.txt"}) {
        EXPECT_TRUE(IsInsideFolder(path)) << path;
    }
}

TEST(ReleasePathTest, PathsThatLeaveOrAreTheFolderAreRefused) {
    for (const wchar_t* path :
         {L"", L".", L".\\", L"\\", L"./.", L"..", L"..\\a", L"a\\..\\..\\b", L"a/../../b",
          L"\\windows\\a.dll", L"/etc/passwd", L"C:\\a", L"c:a", L"a.txt:stream", L"a\\...\\b", L"a\\. .\\b",
          L"a\\.. \\b", L"\\\\server\\share\\a"}) {
        EXPECT_FALSE(IsInsideFolder(path)) << path;
    }
    EXPECT_FALSE(IsInsideFolder(std::wstring(L"a\0b", 3)));
}

TEST(ReleasePathTest, EitherSeparatorBecomesThePlatformsOwn) {
    const std::wstring s(1, platform::kPathSeparator);
    EXPECT_EQ(ToPlatformPath(L"bin\\sub/old.dll"), L"bin" + s + L"sub" + s + L"old.dll");
    EXPECT_EQ(ToPlatformPath(L"a.dll"), L"a.dll");
}

// Spellings of one object give one key; Windows also ignores letter case and trailing dots and blanks.
TEST(ReleasePathTest, TheKeyOfAPathIsTheObjectItNames) {
    struct Case {
        const wchar_t* a;
        const wchar_t* b;
        bool sameOnLinux;
        bool sameOnWindows;
    };
    const Case cases[] = {
        {L"bin\\old.dll", L"bin/old.dll", true, true},
        {L"bin\\old.dll", L".\\bin\\.\\old.dll", true, true},
        {L"bin\\old.dll", L"bin\\\\old.dll", true, true},
        {L"bin\\sub\\", L"bin\\sub", true, true},
        {L"bin\\old.dll", L"BIN\\Old.DLL", false, true},
        {L"bin\\old.dll", L"bin. \\old.dll.", false, true},
        {L"bin\\old.dll", L"bin\\old.dl", false, false},
        {L"bin\\old.dll", L"old.dll", false, false},
        {L"a\\b", L"ab", false, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ReleasePathKey(c.a, false) == ReleasePathKey(c.b, false), c.sameOnLinux)
            << c.a << " " << c.b;
        EXPECT_EQ(ReleasePathKey(c.a, true) == ReleasePathKey(c.b, true), c.sameOnWindows)
            << c.a << " " << c.b;
    }
}

} // namespace
} // namespace ZEPMaintenance
