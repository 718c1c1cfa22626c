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
#include <filesystem>
#include <gtest/gtest.h>
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

} // namespace
} // namespace ZEPMaintenance
