// File and FileVersion: naming, existence, hashing, version resources, deleting and copying.
#include "system/File.h"

#include "base/Platform.h"
#include "diag/IMException.h"
#include "support/CapturedLog.h"
#include "support/ErrorCodeOf.h"
#include "support/SystemSupport.h"
#include "support/TempDir.h"
#include "system/Permissions.h"
#include "system/Text.h"

#include <filesystem>
#include <functional>
#include <gtest/gtest.h>

namespace ZEPMaintenance {
namespace {

using test::CapturedLog;

using test::CodeOf;

const std::wstring kSep(1, platform::kPathSeparator);

class FileTest : public ::testing::Test {
protected:
    void SetUp() override { test::EnsureCryptoProvider(); }
    CapturedLog log;
    test::TempDir dir;
};

TEST(FileNamingTest, SetFullPathSplitsAtTheLastSeparator) {
    File file;
    file.SetFullPath(L"C:" + kSep + L"a" + kSep + L"b.txt");
    EXPECT_EQ(file.GetPath(), L"C:" + kSep + L"a" + kSep);
    EXPECT_EQ(file.GetFilename(), L"b.txt");
    EXPECT_EQ(file.GetFullPath(), L"C:" + kSep + L"a" + kSep + L"b.txt");

    file.SetFullPath(L"b.txt");
    EXPECT_EQ(file.GetPath(), L"");
    EXPECT_EQ(file.GetFilename(), L"b.txt");

    file.SetFullPath(L"dir" + kSep);
    EXPECT_EQ(file.GetPath(), L"dir" + kSep);
    EXPECT_EQ(file.GetFilename(), L"");

    // Only the platform's separator splits; the other slash is part of the name.
    const wchar_t other = platform::kPathSeparator == L'/' ? L'\\' : L'/';
    const std::wstring whole = std::wstring(L"C:") + other + L"a" + other + L"b.txt";
    file.SetFullPath(whole);
    EXPECT_EQ(file.GetPath(), L"");
    EXPECT_EQ(file.GetFilename(), whole);

    file.Set(L"p" + kSep, L"n");
    const File copy(file);
    EXPECT_EQ(copy.GetFullPath(), L"p" + kSep + L"n");
}

TEST_F(FileTest, EveryOperationNeedsAFileName) {
    const File unnamed(dir.Path(), L"");
    const struct {
        const wchar_t* line;
        std::function<void()> action;
    } cases[] = {
        {L"Exists: Filename not set.", [&] { unnamed.Exists(); }},
        {L"GetSha1Hash: Filename not set.", [&] { unnamed.GetSha1Hash(); }},
        {L"GetVersion: Filename not set.", [&] { unnamed.GetVersion(); }},
        {L"SetPermissions: Filename not set.", [&] { unnamed.SetPermissions(test::BackupFileSet()); }},
        {L"GetPermissions: Filename not set.", [&] { unnamed.GetPermissions(); }},
        {L"Delete: Filename not set.", [&] { unnamed.Delete(); }},
        {L"CopyTo: Filename not set.", [&] { unnamed.CopyTo(dir.Path(), L"x"); }},
        {L"CopyTo: Filename not set.", [&] { unnamed.CopyTo(dir.Path() + L"x"); }},
    };
    for (const auto& c : cases) {
        log.Clear();
        EXPECT_EQ(CodeOf(c.action), 100) << WideToMultiByte(c.line, kUtf8CodePage);
        EXPECT_TRUE(log.Has(LevelError, c.line)) << log.Dump();
    }
}

TEST_F(FileTest, ExistsOnlyForReadableFiles) {
    test::WriteTextFile(dir.Path() + L"present.txt", "x");
    std::filesystem::create_directory(dir.FsPath() / "folder");
    EXPECT_TRUE(File(dir.Path(), L"present.txt").Exists());
    EXPECT_TRUE(log.Has(LevelInfo, L"Exists: File existence checked. (filename: present.txt, path: " +
                                       dir.Path() + L", exists: true)"))
        << log.Dump();
    EXPECT_FALSE(File(dir.Path(), L"folder").Exists());
    EXPECT_FALSE(File(dir.Path(), L"missing.txt").Exists());
    EXPECT_TRUE(log.Has(LevelInfo, L"Exists: File existence checked. (filename: missing.txt, path: " +
                                       dir.Path() + L", exists: false)"));
}

TEST_F(FileTest, HashIsLoggedAndReturned) {
    test::WriteTextFile(dir.Path() + L"abc.txt", "abc");
    const Sha1Hash hash = File(dir.Path(), L"abc.txt").GetSha1Hash();
    EXPECT_EQ(hash.ToString(), "A9993E364706816ABA3E25717850C26C9CD0D89D");
    EXPECT_TRUE(log.Has(LevelInfo, L"GetSha1Hash: File hash calculated. (filename: abc.txt, path: " +
                                       dir.Path() + L", hash: A9993E364706816ABA3E25717850C26C9CD0D89D)"))
        << log.Dump();
    EXPECT_EQ(CodeOf([&] { File(dir.Path(), L"missing").GetSha1Hash(); }), 116);
}

TEST_F(FileTest, CopyKeepsOrReplacesTheNameAndOverwrites) {
    test::WriteTextFile(dir.Path() + L"source.txt", "new content");
    std::filesystem::create_directory(dir.FsPath() / "target");
    const std::wstring target = dir.Path() + L"target" + kSep;
    test::WriteTextFile(target + L"source.txt", "old content that is longer");

    const File source(dir.Path(), L"source.txt");
    const File kept = source.CopyTo(target, L"");
    EXPECT_EQ(kept.GetFullPath(), target + L"source.txt");
    EXPECT_EQ(test::ReadTextFile(target + L"source.txt"), "new content");

    const File renamed = source.CopyTo(target + L"renamed.txt");
    EXPECT_EQ(renamed.GetPath(), target);
    EXPECT_EQ(renamed.GetFilename(), L"renamed.txt");
    EXPECT_EQ(test::ReadTextFile(target + L"renamed.txt"), "new content");
    EXPECT_EQ(test::ReadTextFile(dir.Path() + L"source.txt"), "new content");
}

TEST_F(FileTest, FailedCopyAndDeleteThrow131WithTheirLines) {
    const File missing(dir.Path(), L"missing.txt");
    EXPECT_EQ(CodeOf([&] { missing.CopyTo(dir.Path(), L"copy.txt"); }), 131);
    EXPECT_TRUE(log.Contains(L"CopyTo: CopyFileW failed (filename: missing.txt, path: " + dir.Path() +
                             L", copyFilename:copy.txt, copyPath: " + dir.Path() + L", lastError: 2)."))
        << log.Dump();
    EXPECT_FALSE(File(dir.Path(), L"copy.txt").Exists());

    EXPECT_EQ(CodeOf([&] { missing.Delete(); }), 131);
    EXPECT_TRUE(log.Has(LevelError, L"Delete: DeleteFileW failed (filename: missing.txt, path: " +
                                        dir.Path() + L", lastError: 2)."))
        << log.Dump();

    // Copying into a folder that does not exist fails, and the source stays.
    test::WriteTextFile(dir.Path() + L"kept.txt", "kept");
    EXPECT_EQ(CodeOf([&] { File(dir.Path(), L"kept.txt").CopyTo(dir.Path() + L"nowhere" + kSep, L""); }),
              131);
    EXPECT_EQ(test::ReadTextFile(dir.Path() + L"kept.txt"), "kept");

    File(dir.Path(), L"kept.txt").Delete();
    EXPECT_FALSE(std::filesystem::exists(dir.FsPath() / "kept.txt"));
}

TEST_F(FileTest, CopyOntoItselfFailsAndKeepsTheContent) {
    test::WriteTextFile(dir.Path() + L"same.txt", "the only copy");
    const File same(dir.Path(), L"same.txt");
    EXPECT_EQ(CodeOf([&] { same.CopyTo(dir.Path(), L""); }), 131);
    EXPECT_TRUE(log.Contains(L"CopyTo: CopyFileW failed (filename: same.txt, path: " + dir.Path() +
                             L", copyFilename:same.txt, copyPath: " + dir.Path()))
        << log.Dump();
    EXPECT_EQ(test::ReadTextFile(dir.Path() + L"same.txt"), "the only copy");
}

class FileVersionResourceTest : public FileTest {
protected:
    void SetUp() override {
        FileTest::SetUp();
        fixtures = GetModuleDirectory() + kSep + L"pe-fixtures" + kSep;
        if (!std::filesystem::exists(std::filesystem::path(fixtures + L"version64.dll"))) {
            GTEST_SKIP() << "PE fixtures were not built (no Windows cross toolchain)";
        }
    }
    std::wstring fixtures;
};

TEST_F(FileVersionResourceTest, FileVersionOfTheResourceNotTheProductVersion) {
    EXPECT_EQ(File(fixtures, L"version64.dll").GetVersion(), (FileVersion{2, 0, 1200, 7}));
    EXPECT_EQ(File(fixtures, L"version64.dll").GetVersion().ToString(), L"2.0.1200.7");
    if (std::filesystem::exists(std::filesystem::path(fixtures + L"version32.dll"))) {
        EXPECT_EQ(File(fixtures, L"version32.dll").GetVersion().Numbers(),
                  (std::vector<int32_t>{3, 1, 4, 15}));
    }
}

TEST_F(FileVersionResourceTest, FilesWithoutVersionResourceFailWith130) {
    test::WriteTextFile(dir.Path() + L"plain.txt", "MZ but not really a program");
    const struct {
        std::wstring path;
        std::wstring name;
    } cases[] = {{fixtures, L"noversion64.dll"}, {dir.Path(), L"plain.txt"}, {dir.Path(), L"missing.dll"}};
    for (const auto& c : cases) {
        log.Clear();
        EXPECT_EQ(CodeOf([&] { File(c.path, c.name).GetVersion(); }), 130);
        EXPECT_TRUE(log.Has(LevelError, L"GetVersion: GetFileVersionInfoSizeW returned 0. (filename: " +
                                            c.name + L", path: " + c.path + L")."))
            << log.Dump();
    }
}

TEST(FileVersionTest, ComparisonIgnoresTrailingZerosOnly) {
    EXPECT_EQ((FileVersion{1, 2, 0, 0}).Compare(FileVersion{1, 2}), 0);
    EXPECT_EQ((FileVersion{1, 2}).Compare(FileVersion{1, 2, 0, 0}), 0);
    EXPECT_EQ((FileVersion{1, 2, 0, 1}).Compare(FileVersion{1, 2}), 1);
    EXPECT_EQ((FileVersion{1, 2}).Compare(FileVersion{1, 2, 0, 1}), -1);
    EXPECT_EQ((FileVersion{1, 10, 0, 0}).Compare(FileVersion{1, 9, 9, 9}), 1);
    EXPECT_EQ((FileVersion{1, 9, 9, 9}).Compare(FileVersion{1, 10, 0, 0}), -1);
    // Negative extra numbers do not make a version greater.
    EXPECT_EQ((FileVersion{1, 2, -1}).Compare(FileVersion{1, 2}), 0);
    EXPECT_TRUE((FileVersion{2, 0, 1200, 7}) <= (FileVersion{2, 0, 1200, 7}));
    EXPECT_TRUE((FileVersion{2, 0, 1200, 6}) <= (FileVersion{2, 0, 1200, 7}));
    EXPECT_FALSE((FileVersion{2, 0, 1201, 0}) <= (FileVersion{2, 0, 1200, 7}));
    EXPECT_EQ(FileVersion().Compare(FileVersion{0, 0}), 0);
}

} // namespace
} // namespace ZEPMaintenance
