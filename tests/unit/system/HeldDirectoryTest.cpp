// HeldDirectory: what is reached through a held folder is the folder that was opened, whatever is put
// under its name afterwards.
#include "system/HeldDirectory.h"

#include "base/Platform.h"
#include "support/CapturedLog.h"
#include "support/SystemSupport.h"
#include "support/TempDir.h"

#include <filesystem>
#include <gtest/gtest.h>

namespace ZEPMaintenance {
namespace {

using test::CapturedLog;
namespace fs = std::filesystem;

std::vector<std::wstring> FileNames(Directory directory) {
    std::vector<std::wstring> names;
    for (const File& file : directory.GetFiles()) {
        names.push_back(file.GetFilename());
    }
    return names;
}

TEST(HeldDirectoryTest, TheHeldFolderStaysTheOneThatWasOpened) {
    CapturedLog log;
    test::TempDir dir;
    fs::create_directories(dir.FsPath() / "backup");
    test::WriteTextFile((dir.FsPath() / "backup" / "genuine.dll").wstring(), "genuine");
    HeldDirectory held;
    ASSERT_TRUE(held.Hold(Directory(dir.Path(), L"backup"))) << log.Dump();
    EXPECT_TRUE(held.IsHeld());
    EXPECT_EQ(held.GetNamedPath(), dir.Path() + L"backup" + platform::kPathSeparator);
    EXPECT_TRUE(log.Contains(L"Hold: Folder held. (path: " + held.GetNamedPath()));

    // Another user's swap: the folder renamed away and another put under its name. Windows refuses the
    // rename while the folder is held; Linux allows it, and the hold still reaches the first folder.
    std::error_code renamed;
    fs::rename(dir.FsPath() / "backup", dir.FsPath() / "aside", renamed);
    if (!renamed) {
        fs::create_directories(dir.FsPath() / "backup");
        test::WriteTextFile((dir.FsPath() / "backup" / "planted.dll").wstring(), "planted");
    }
    EXPECT_EQ(FileNames(held.GetDirectory()), std::vector<std::wstring>{L"genuine.dll"});
    File through;
    through.SetFullPath(held.GetFullPath() + L"genuine.dll");
    EXPECT_TRUE(through.Exists());
    EXPECT_EQ(test::ReadTextFile(through.GetFullPath()), "genuine");
    // Written through the hold, a file lands in the held folder too.
    held.GetDirectory().GetFiles().front().CopyTo(held.GetFullPath(), L"second.dll");
    const fs::path first = renamed ? dir.FsPath() / "backup" : dir.FsPath() / "aside";
    EXPECT_TRUE(fs::exists(first / "second.dll"));

    held.Release();
    EXPECT_FALSE(held.IsHeld());
    EXPECT_EQ(held.GetFullPath(), L"");
    // Only a folder can be held.
    EXPECT_FALSE(held.Hold(Directory(first.wstring() + platform::kPathSeparator, L"genuine.dll")));
    EXPECT_EQ(held.GetLastError(), 267u);
    EXPECT_TRUE(log.Contains(L"Hold: Folder cannot be held. (path: "));
}

} // namespace
} // namespace ZEPMaintenance
