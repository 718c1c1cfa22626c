// Linux side of File: what a copy carries over, whichever way it is put in place.
#include "support/SystemSupport.h"
#include "support/TempDir.h"
#include "system/File.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ZEPMaintenance {
namespace {

namespace fs = std::filesystem;

// A copy, by CopyTo or installed from CopyWithHash, has the source's mode without write access for group
// and others, its last write time and the copying process as owner, under any creation mask and whether
// its name was free or taken.
TEST(FileCopyPosixTest, TheSourceModeAndTimeWhateverTheMaskAndTheWay) {
    test::EnsureCryptoProvider();
    test::TempDir dir;
    const fs::path source = dir.FsPath() / "tool.so";
    test::WriteTextFile(source.wstring(), "code");
    fs::permissions(source, fs::perms(0775));
    fs::last_write_time(source, fs::file_time_type::clock::now() - std::chrono::hours(48));
    fs::create_directory(dir.FsPath() / "free");
    fs::create_directory(dir.FsPath() / "taken");
    test::WriteTextFile((dir.FsPath() / "taken" / "tool.so").wstring(), "old");
    fs::permissions(dir.FsPath() / "taken" / "tool.so", fs::perms(0600));
    for (const mode_t mask : {mode_t{022}, mode_t{077}}) {
        const mode_t saved = umask(mask);
        for (const char* folder : {"free", "taken"}) {
            for (const bool hashed : {false, true}) {
                const fs::path copy = dir.FsPath() / folder / "tool.so";
                if (std::string(folder) == "free") {
                    fs::remove(copy);
                }
                const std::wstring into = (dir.FsPath() / folder).wstring() + L"/";
                if (hashed) {
                    File(dir.Path(), L"tool.so").CopyWithHash(into, L"", L"").Install();
                } else {
                    File(dir.Path(), L"tool.so").CopyTo(into, L"");
                }
                struct stat info {};
                ASSERT_EQ(lstat(copy.c_str(), &info), 0);
                EXPECT_EQ(info.st_mode & 07777, 0755u)
                    << folder << ", mask " << mask << ", hashed " << hashed;
                EXPECT_EQ(info.st_uid, geteuid());
                EXPECT_EQ(fs::last_write_time(copy), fs::last_write_time(source))
                    << folder << ", hashed " << hashed;
                EXPECT_EQ(test::ReadTextFile(copy.wstring()), "code");
            }
        }
        umask(saved);
    }
}

} // namespace
} // namespace ZEPMaintenance
