// Windows side of File and Sha1Hash: what other processes' share modes allow.
#include "diag/IMException.h"
#include "support/CapturedLog.h"
#include "support/SystemSupport.h"
#include "support/TempDir.h"
#include "system/File.h"
#include "system/win/WinHeaders.h"

#include <gtest/gtest.h>

namespace ZEPMaintenance {
namespace {

class OpenHandle {
public:
    OpenHandle(const std::wstring& path, DWORD share)
        : handle_(CreateFileW(path.c_str(), GENERIC_WRITE, share, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr)) {}
    ~OpenHandle() {
        if (handle_ != INVALID_HANDLE_VALUE) {
            CloseHandle(handle_);
        }
    }
    OpenHandle(const OpenHandle&) = delete;
    OpenHandle& operator=(const OpenHandle&) = delete;
    HANDLE Get() const { return handle_; }

private:
    HANDLE handle_;
};

TEST(FileSharingTest, ExistsNeedsReadSharingAndHashingTakesWriters) {
    test::CapturedLog log;
    test::TempDir dir;
    test::EnsureCryptoProvider();
    {
        const OpenHandle exclusive(dir.Path() + L"locked.bin", 0);
        ASSERT_NE(exclusive.Get(), INVALID_HANDLE_VALUE);
        EXPECT_FALSE(File(dir.Path(), L"locked.bin").Exists());
    }
    EXPECT_TRUE(File(dir.Path(), L"locked.bin").Exists());

    const OpenHandle writer(dir.Path() + L"growing.bin", FILE_SHARE_READ | FILE_SHARE_WRITE);
    ASSERT_NE(writer.Get(), INVALID_HANDLE_VALUE);
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(writer.Get(), "abc", 3, &written, nullptr));
    EXPECT_EQ(File(dir.Path(), L"growing.bin").GetSha1Hash().ToString(),
              "A9993E364706816ABA3E25717850C26C9CD0D89D");
}

} // namespace
} // namespace ZEPMaintenance
