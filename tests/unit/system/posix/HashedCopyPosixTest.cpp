// Linux side of File::CopyWithHash and Directory::ScanDirBelow: nothing is read through a link anywhere
// below the root, nor from a FIFO or a file with a second name.
#include "diag/IMException.h"
#include "support/CapturedLog.h"
#include "support/ErrorCodeOf.h"
#include "support/SystemSupport.h"
#include "support/TempDir.h"
#include "system/Directory.h"
#include "system/File.h"

#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <linux/fiemap.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ZEPMaintenance {
namespace {

namespace fs = std::filesystem;
using test::CodeOf;

class HashedCopyPosixTest : public ::testing::Test {
protected:
    void SetUp() override {
        test::EnsureCryptoProvider();
        fs::create_directories(dir.FsPath() / "update" / "sub");
        fs::create_directories(dir.FsPath() / "product");
        fs::create_directories(dir.FsPath() / "secret");
        test::WriteTextFile((dir.FsPath() / "secret" / "a.dll").wstring(), "not the user's to read");
    }

    std::wstring Update() const { return dir.Path() + L"update/"; }
    std::wstring Product() const { return dir.Path() + L"product/"; }

    int32_t CopyCode(const std::wstring& path, const std::wstring& name) {
        return CodeOf([&] { File(path, name).CopyWithHash(Product(), L"", Update()).Install(); });
    }

    test::CapturedLog log;
    test::TempDir dir;
};

TEST_F(HashedCopyPosixTest, ALinkAnywhereBelowTheRootIsNeverFollowed) {
    // The last component, and a folder on the way, swapped for a link to somewhere else.
    fs::create_symlink(dir.FsPath() / "secret" / "a.dll", dir.FsPath() / "update" / "link.dll");
    fs::create_directory_symlink(dir.FsPath() / "secret", dir.FsPath() / "update" / "sub" / "inner");
    EXPECT_EQ(CopyCode(Update(), L"link.dll"), 116);
    EXPECT_EQ(CopyCode(Update() + L"sub/inner/", L"a.dll"), 116);
    EXPECT_TRUE(log.Contains(L"CopyWithHash: CreateFileW failed. (filename: a.dll, path: " + Update() +
                             L"sub/inner/, confinedTo: " + Update() + L", lastError: 1920)"))
        << log.Dump();
    EXPECT_TRUE(fs::is_empty(dir.FsPath() / "product"));

    // Without a root only the last component is guarded, as for every other open.
    EXPECT_NO_THROW(File(Update() + L"sub/inner/", L"a.dll").CopyWithHash(Product(), L"", L""));

    Directory inner;
    inner.SetFullPath(Update() + L"sub/inner/");
    EXPECT_EQ(CodeOf([&] { inner.ScanDirBelow(Update()); }), 135);
    EXPECT_TRUE(log.Contains(L"ScanDir: FindFirstFileW failed. (path: " + Update() +
                             L"sub/, dirname: inner, lastError: 1920)"))
        << log.Dump();
    Directory sub;
    sub.SetFullPath(Update() + L"sub/");
    sub.ScanDirBelow(Update());
    EXPECT_EQ(sub.GetLinks(), std::vector<std::wstring>{L"inner"});
    EXPECT_TRUE(sub.GetSubdirs().empty());
    // A folder outside the root is not scanned at all.
    Directory secret;
    secret.SetFullPath(dir.Path() + L"secret/");
    EXPECT_EQ(CodeOf([&] { secret.ScanDirBelow(Update()); }), 135);
}

TEST_F(HashedCopyPosixTest, OnlyARegularFileWithASingleNameIsRead) {
    ASSERT_EQ(mkfifo((dir.FsPath() / "update" / "pipe.dll").c_str(), 0600), 0);
    EXPECT_EQ(CopyCode(Update(), L"pipe.dll"), 116);

    // A second name may lie where its owner could not have read it.
    fs::create_hard_link(dir.FsPath() / "secret" / "a.dll", dir.FsPath() / "update" / "hard.dll");
    EXPECT_EQ(CopyCode(Update(), L"hard.dll"), 116);
    EXPECT_TRUE(log.Contains(L"CopyWithHash: CreateFileW failed. (filename: hard.dll, path: " + Update() +
                             L", confinedTo: " + Update() + L", lastError: 1920)"))
        << log.Dump();
    EXPECT_TRUE(fs::is_empty(dir.FsPath() / "product"));

    Directory update;
    update.SetFullPath(Update());
    update.ScanDirBelow(Update());
    EXPECT_EQ(update.GetSpecialFiles(), std::vector<std::wstring>{L"pipe.dll"});
}

// A write refused after the first chunk, while that chunk's SHA-256 may still be in hand beside the
// copying: the copy fails as any write does, and nothing is left.
TEST_F(HashedCopyPosixTest, AWriteFailingWhileTheSha256IsTakenBesideLeavesNothing) {
    test::WriteTextFile(Update() + L"big.dll", std::string(3 * 1024 * 1024, 'x'));
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto previous = signal(SIGXFSZ, SIG_IGN);
    rlimit limited = saved;
    limited.rlim_cur = 3 * 512 * 1024;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    const int32_t code = CopyCode(Update(), L"big.dll");
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, previous);
    EXPECT_EQ(code, 131);
    EXPECT_TRUE(log.Contains(L"CopyWithHash: WriteFile failed (filename: big.dll, path: " + Update()))
        << log.Dump();
    EXPECT_TRUE(fs::is_empty(dir.FsPath() / "product"));
}

// Whether every byte of the file lies in blocks it shares with another file.
bool SharesAllBlocks(const fs::path& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    constexpr uint32_t kExtents = 16;
    alignas(fiemap) unsigned char buffer[sizeof(fiemap) + kExtents * sizeof(fiemap_extent)] = {};
    auto* map = reinterpret_cast<fiemap*>(buffer);
    map->fm_length = FIEMAP_MAX_OFFSET;
    map->fm_extent_count = kExtents;
    const bool mapped = fd >= 0 && ioctl(fd, FS_IOC_FIEMAP, map) == 0;
    if (fd >= 0) {
        close(fd);
    }
    bool shared = mapped && map->fm_mapped_extents > 0;
    for (uint32_t i = 0; shared && i < map->fm_mapped_extents; ++i) {
        shared = (map->fm_extents[i].fe_flags & FIEMAP_EXTENT_SHARED) != 0;
    }
    return shared;
}

// Where the file system shares blocks (XFS, btrfs; the suite runs this on an XFS image), both copies
// cost no data written: the hashed copy shares the source's blocks and is hashed from itself, the
// backup's copy shares the product's. A source written afterwards changes neither.
TEST_F(HashedCopyPosixTest, CopiesShareTheSourcesBlocksWhereTheFileSystemCan) {
    const std::string bytes(3 * 1024 * 1024 + 17, 'z');
    test::WriteTextFile(Update() + L"big.dll", bytes);
    {
        const int probe = open((dir.FsPath() / "probe").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        const int source = open((dir.FsPath() / "update" / "big.dll").c_str(), O_RDONLY | O_CLOEXEC);
        const bool canShare = ioctl(probe, FICLONE, source) == 0;
        close(probe);
        close(source);
        if (!canShare) {
            GTEST_SKIP() << "the temporary folder's file system shares no blocks";
        }
    }
    HashedCopy copy = File(Update(), L"big.dll").CopyWithHash(Product(), L"", Update());
    const FileDigests expected = File(Update(), L"big.dll").GetDigests();
    EXPECT_EQ(copy.GetDigests().sha1.ToString(), expected.sha1.ToString());
    EXPECT_EQ(copy.GetDigests().sha256.ToString(), expected.sha256.ToString());
    copy.Install();
    EXPECT_TRUE(SharesAllBlocks(dir.FsPath() / "product" / "big.dll"));
    fs::remove(dir.FsPath() / "update" / "big.dll");
    // The product's blocks are its own now; the backup's copy shares them again.
    const File backup = File(Product(), L"big.dll").CopyTo(dir.Path() + L"secret/", L"");
    EXPECT_TRUE(SharesAllBlocks(dir.FsPath() / "secret" / "big.dll"));

    test::WriteTextFile(Product() + L"big.dll", std::string(bytes.size(), 'y'));
    EXPECT_EQ(backup.GetDigests().sha1.ToString(), expected.sha1.ToString());
}

} // namespace
} // namespace ZEPMaintenance
