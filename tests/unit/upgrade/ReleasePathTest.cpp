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

} // namespace
} // namespace ZEPMaintenance
