// Windows side of File::CopyWithHash: writers are shut out of the source while it is read, and the copy
// carries the attributes CopyFileW gives one.
#include "base/win/WinHandle.h"
#include "support/CapturedLog.h"
#include "support/ErrorCodeOf.h"
#include "support/SystemSupport.h"
#include "support/TempDir.h"
#include "system/File.h"

#include <filesystem>
#include <gtest/gtest.h>

namespace ZEPMaintenance {
namespace {

using test::CodeOf;

platform::WinFile Open(const std::wstring& path, DWORD access, DWORD share) {
    return platform::WinFile(
        CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
}

TEST(HashedCopyWinTest, NoWriterMayHoldTheSourceWhileItIsRead) {
    test::CapturedLog log;
    test::TempDir dir;
    test::EnsureCryptoProvider();
    test::WriteTextFile(dir.Path() + L"a.dll", "bytes");
    {
        const platform::WinFile writer = Open(dir.Path() + L"a.dll", GENERIC_WRITE,
                                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
        ASSERT_TRUE(writer);
        EXPECT_EQ(CodeOf([&] { File(dir.Path(), L"a.dll").CopyWithHash(dir.Path(), L"b.dll", dir.Path()); }),
                  116);
        EXPECT_TRUE(log.Contains(L"CopyWithHash: CreateFileW failed. (filename: a.dll, path: " + dir.Path() +
                                 L", confinedTo: " + dir.Path() + L", lastError: 32)"))
            << log.Dump();
    }
    const platform::WinFile reader = Open(dir.Path() + L"a.dll", GENERIC_READ, FILE_SHARE_READ);
    ASSERT_TRUE(reader);
    File(dir.Path(), L"a.dll").CopyWithHash(dir.Path(), L"b.dll", dir.Path()).Install();
    EXPECT_EQ(test::ReadTextFile(dir.Path() + L"b.dll"), "bytes");
}

TEST(HashedCopyWinTest, AReadOnlySourceGivesAReadOnlyCopyThatIsStillRemovedWhenNotInstalled) {
    test::CapturedLog log;
    test::TempDir dir;
    test::EnsureCryptoProvider();
    test::WriteTextFile(dir.Path() + L"a.dll", "bytes");
    ASSERT_TRUE(SetFileAttributesW((dir.Path() + L"a.dll").c_str(), FILE_ATTRIBUTE_READONLY));
    std::filesystem::create_directory(dir.FsPath() / "target");
    const std::wstring target = dir.Path() + L"target\\";
    {
        HashedCopy copy = File(dir.Path(), L"a.dll").CopyWithHash(target, L"", dir.Path());
        EXPECT_NE(GetFileAttributesW(copy.GetCopy().GetFullPath().c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
    }
    EXPECT_TRUE(std::filesystem::is_empty(dir.FsPath() / "target"));
    File(dir.Path(), L"a.dll").CopyWithHash(target, L"", dir.Path()).Install();
    EXPECT_NE(GetFileAttributesW((target + L"a.dll").c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
    SetFileAttributesW((target + L"a.dll").c_str(), FILE_ATTRIBUTE_NORMAL);
    SetFileAttributesW((dir.Path() + L"a.dll").c_str(), FILE_ATTRIBUTE_NORMAL);
}

} // namespace
} // namespace ZEPMaintenance
