// Linux side of File: what a copy carries over, whichever way it is put in place.
#include "support/SystemSupport.h"
#include "support/TempDir.h"
#include "system/File.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace ZEPMaintenance {
namespace {

namespace fs = std::filesystem;

mode_t ModeOf(const fs::path& path) {
    struct stat info {};
    EXPECT_EQ(lstat(path.c_str(), &info), 0);
    return info.st_mode & 07777;
}

// A copy has the source's mode without write access for group and others, and its last write time,
// under any creation mask and whether its name was free or taken.
TEST(FileCopyPosixTest, TheSourceModeAndTimeWhateverTheMask) {
    test::TempDir dir;
    const fs::path source = dir.FsPath() / "tool.so";
    test::WriteTextFile(source.wstring(), "code");
    fs::permissions(source, fs::perms(0775));
    fs::last_write_time(source, fs::file_time_type::clock::now() - std::chrono::hours(48));
    fs::create_directory(dir.FsPath() / "free");
    fs::create_directory(dir.FsPath() / "taken");
    test::WriteTextFile((dir.FsPath() / "taken" / "tool.so").wstring(), "old");
    for (const mode_t mask : {mode_t{022}, mode_t{077}}) {
        const mode_t saved = umask(mask);
        for (const char* folder : {"free", "taken"}) {
            const fs::path copy = dir.FsPath() / folder / "tool.so";
            std::error_code ignored;
            if (std::string(folder) == "free") {
                fs::remove(copy, ignored);
            }
            File(dir.Path(), L"tool.so").CopyTo((dir.FsPath() / folder).wstring() + L"/", L"");
            EXPECT_EQ(ModeOf(copy), 0755u) << folder << ", mask " << mask;
            EXPECT_EQ(fs::last_write_time(copy), fs::last_write_time(source)) << folder;
            EXPECT_EQ(test::ReadTextFile(copy.wstring()), "code");
        }
        umask(saved);
    }
}

} // namespace
} // namespace ZEPMaintenance
