// Windows side of File and Sha1Hash: what other processes' share modes allow.
#include "base/win/WinHandle.h"
#include "diag/IMException.h"
#include "support/CapturedLog.h"
#include "support/SystemSupport.h"
#include "support/TempDir.h"
#include "system/File.h"

#include <gtest/gtest.h>

namespace ZEPMaintenance {
namespace {

// A file created for writing with the given share mode, held open by this process.
platform::WinFile OpenForWriting(const std::wstring& path, DWORD share) {
    return platform::WinFile(CreateFileW(path.c_str(), GENERIC_WRITE, share, nullptr, CREATE_ALWAYS,
                                         FILE_ATTRIBUTE_NORMAL, nullptr));
}

TEST(FileSharingTest, ExistsNeedsReadSharingAndHashingTakesWriters) {
    test::CapturedLog log;
    test::TempDir dir;
    test::EnsureCryptoProvider();
    {
        const platform::WinFile exclusive = OpenForWriting(dir.Path() + L"locked.bin", 0);
        ASSERT_TRUE(exclusive);
        EXPECT_FALSE(File(dir.Path(), L"locked.bin").Exists());
    }
    EXPECT_TRUE(File(dir.Path(), L"locked.bin").Exists());

    const platform::WinFile writer =
        OpenForWriting(dir.Path() + L"growing.bin", FILE_SHARE_READ | FILE_SHARE_WRITE);
    ASSERT_TRUE(writer);
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(writer.Get(), "abc", 3, &written, nullptr));
    EXPECT_EQ(File(dir.Path(), L"growing.bin").GetSha1Hash().ToString(),
              "A9993E364706816ABA3E25717850C26C9CD0D89D");
}

} // namespace
} // namespace ZEPMaintenance
