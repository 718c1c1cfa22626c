// Linux side of reading a file of the data folder: what another user may put under its name.
#include "upgrade/DataFilePrimitives.h"

#include "base/WinError.h"
#include "support/TempDir.h"

#include <cstdio>
#include <cstring>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ZEPMaintenance {
namespace {

TEST(DataFilePosixTest, ALinkFifoOrFolderUnderTheNameIsNotReadAndNothingWaits) {
    test::TempDir folder;
    const std::string base = folder.FsPath().string() + "/";
    ASSERT_EQ(mkfifo((base + "fifo").c_str(), 0666), 0);
    ASSERT_EQ(symlink("/etc/passwd", (base + "link").c_str()), 0);
    ASSERT_EQ(mkdir((base + "folder").c_str(), 0755), 0);
    for (const char* name : {"fifo", "link", "folder", "missing"}) {
        std::string bytes = "left over";
        EXPECT_NE(
            platform::ReadDataFile(folder.Path() + std::wstring(name, name + std::strlen(name)), 1024, bytes),
            WinError::kSuccess)
            << name;
        EXPECT_TRUE(bytes.empty()) << name;
    }
}

TEST(DataFilePosixTest, AFileOverTheLimitIsRefusedWholeAndOneWithinItIsReadWhole) {
    test::TempDir folder;
    const std::string path = folder.FsPath().string() + "/list";
    std::string bytes;
    FILE* file = std::fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    std::fputs("0123456789", file);
    std::fclose(file);
    const std::wstring wide = folder.Path() + L"list";
    EXPECT_EQ(platform::ReadDataFile(wide, 9, bytes), 223u);
    EXPECT_TRUE(bytes.empty());
    EXPECT_EQ(platform::ReadDataFile(wide, 10, bytes), WinError::kSuccess);
    EXPECT_EQ(bytes, "0123456789");
}

} // namespace
} // namespace ZEPMaintenance
