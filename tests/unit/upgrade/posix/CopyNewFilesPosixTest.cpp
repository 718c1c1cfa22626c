// Linux side of the copy stage: what the user who writes the update folder can put there besides files
// and folders, and that none of it is read.
#include "unit/upgrade/CopyNewFilesFixture.h"

#include <sys/stat.h>

namespace ZEPMaintenance {
namespace {

namespace fs = std::filesystem;
using test::CopyNewFilesTest;

TEST_F(CopyNewFilesTest, NothingIsReadThroughALinkOrFromAFifo) {
    const fs::path secret = dir.FsPath() / "secret";
    fs::create_directories(secret);
    test::WriteTextFile((secret / "key.txt").wstring(), "root's own");
    Write(update, L"a.txt", "a");
    // Listed with the very bytes the link leads to: still refused, it is not a file of the update.
    Load(Entry("a.txt", HashOf("a")) + Entry("key.txt", HashOf("root's own")) +
         Entry("sub\\key.txt", HashOf("root's own")));
    const struct {
        std::function<void()> plant;
        std::wstring refused;
    } cases[] = {
        {[&] { fs::create_symlink(secret / "key.txt", fs::path(update + L"key.txt")); }, update + L"key.txt"},
        {[&] { fs::create_directory_symlink(secret, fs::path(update + L"sub")); }, update + L"sub"},
        {[&] { fs::create_directory_symlink(secret, fs::path(update + L"update")); }, update + L"update"},
        {[&] { ASSERT_EQ(mkfifo(fs::path(update + L"pipe.txt").c_str(), 0600), 0); }, update + L"pipe.txt"},
    };
    for (const auto& planted : cases) {
        planted.plant();
        EXPECT_EQ(Run(), 143);
        EXPECT_TRUE(
            log.Has(LevelError, L"CopyNewFiles: Neither a file nor a folder; nothing is read through it. "
                                L"(filename: " +
                                    planted.refused + L")"))
            << log.Dump();
        EXPECT_EQ(FilesBelow(product), std::set<std::wstring>{});
        fs::remove(fs::path(planted.refused));
        log.Clear();
    }
    EXPECT_EQ(Run(), 0) << log.Dump();
    EXPECT_EQ(FilesBelow(product), std::set<std::wstring>{L"a.txt"});
}

// The update folder itself swapped for a link: nothing below the link is scanned.
TEST_F(CopyNewFilesTest, AnUpdateFolderThatIsALinkIsNotScanned) {
    const fs::path elsewhere = dir.FsPath() / "elsewhere";
    fs::create_directories(elsewhere);
    test::WriteTextFile((elsewhere / "a.txt").wstring(), "a");
    fs::remove(fs::path(update));
    fs::create_directory_symlink(elsewhere, fs::path(data + L"update"));
    Load(Entry("a.txt", HashOf("a")));
    EXPECT_EQ(Run(), 135);
    EXPECT_FALSE(log.Contains(L"foundFilename: a.txt")) << log.Dump();
    EXPECT_EQ(FilesBelow(product), std::set<std::wstring>{});
}

// A backslash in a name would read as a folder of a manifest name: "sub\b.txt" in the top folder is not
// the file b.txt of the folder sub.
TEST_F(CopyNewFilesTest, ANameWithABackslashIsRefused) {
    test::WriteTextFile(update + L"sub\\b.txt", "b");
    Load(Entry("sub\\b.txt", HashOf("b")));
    EXPECT_EQ(Run(), 143);
    EXPECT_TRUE(log.Has(LevelError, L"CopyNewFiles: Name that no manifest entry can name. (filename: " +
                                        update + L"sub\\b.txt)"))
        << log.Dump();
    EXPECT_EQ(FilesBelow(product), std::set<std::wstring>{});
}

} // namespace
} // namespace ZEPMaintenance
