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
    // Only the platform's separator splits; the other slash is part of the name.
    const wchar_t other = platform::kPathSeparator == L'/' ? L'\\' : L'/';
    const std::wstring foreign = std::wstring(L"C:") + other + L"a" + other + L"b.txt";
    const struct {
        std::wstring full;
        std::wstring path;
        std::wstring name;
    } cases[] = {{L"C:" + kSep + L"a" + kSep + L"b.txt", L"C:" + kSep + L"a" + kSep, L"b.txt"},
                 {L"b.txt", L"", L"b.txt"},
                 {L"dir" + kSep, L"dir" + kSep, L""},
                 {foreign, L"", foreign}};
    for (const auto& c : cases) {
        File file;
        file.SetFullPath(c.full);
        EXPECT_EQ(file.GetPath(), c.path);
        EXPECT_EQ(file.GetFilename(), c.name);
        EXPECT_EQ(File(file).GetFullPath(), c.full);
    }
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

TEST_F(FileTest, ExistsOnlyForReadableFilesAndHashesThem) {
    test::WriteTextFile(dir.Path() + L"abc.txt", "abc");
    std::filesystem::create_directory(dir.FsPath() / "folder");
    EXPECT_TRUE(File(dir.Path(), L"abc.txt").Exists());
    EXPECT_FALSE(File(dir.Path(), L"folder").Exists());
    EXPECT_FALSE(File(dir.Path(), L"missing.txt").Exists());
    EXPECT_EQ(File(dir.Path(), L"abc.txt").GetSha1Hash().ToString(),
              "A9993E364706816ABA3E25717850C26C9CD0D89D");
    EXPECT_EQ(CodeOf([&] { File(dir.Path(), L"missing.txt").GetSha1Hash(); }), 116);
    EXPECT_EQ(
        log.Missing({{LevelInfo, L"Exists: File existence checked. (filename: abc.txt, path: " + dir.Path() +
                                     L", exists: true)"},
                     {LevelInfo, L"Exists: File existence checked. (filename: missing.txt, path: " +
                                     dir.Path() + L", exists: false)"},
                     {LevelInfo, L"GetSha1Hash: File hash calculated. (filename: abc.txt, path: " +
                                     dir.Path() + L", hash: A9993E364706816ABA3E25717850C26C9CD0D89D)"}}),
        L"");
}

TEST_F(FileTest, CopyKeepsOrReplacesTheNameAndOverwrites) {
    test::WriteTextFile(dir.Path() + L"source.txt", "new content");
    std::filesystem::create_directory(dir.FsPath() / "target");
    const std::wstring target = dir.Path() + L"target" + kSep;
    test::WriteTextFile(target + L"source.txt", "old content that is longer");

    const File source(dir.Path(), L"source.txt");
    EXPECT_EQ(source.CopyTo(target, L"").GetFullPath(), target + L"source.txt");
    const File renamed = source.CopyTo(target + L"renamed.txt");
    EXPECT_EQ(renamed.GetPath(), target);
    EXPECT_EQ(renamed.GetFilename(), L"renamed.txt");
    EXPECT_EQ(test::TreeContent(dir.FsPath()),
              (std::map<std::string, std::string>{{"source.txt", "new content"},
                                                  {"target/", ""},
                                                  {"target/renamed.txt", "new content"},
                                                  {"target/source.txt", "new content"}}));
    source.Delete();
    EXPECT_FALSE(std::filesystem::exists(dir.FsPath() / "source.txt"));
}

TEST_F(FileTest, FailedCopiesAndDeletesThrow131AndKeepWhatIsThere) {
    const File missing(dir.Path(), L"missing.txt");
    EXPECT_EQ(CodeOf([&] { missing.CopyTo(dir.Path(), L"copy.txt"); }), 131);
    EXPECT_EQ(CodeOf([&] { missing.Delete(); }), 131);
    EXPECT_EQ(log.Missing({{LevelError, L"CopyTo: CopyFileW failed (filename: missing.txt, path: " +
                                            dir.Path() + L", copyFilename:copy.txt, copyPath: " + dir.Path() +
                                            L", lastError: 2)."},
                           {LevelError, L"Delete: DeleteFileW failed (filename: missing.txt, path: " +
                                            dir.Path() + L", lastError: 2)."}}),
              L"");

    // Into a folder that does not exist, and onto itself.
    test::WriteTextFile(dir.Path() + L"same.txt", "the only copy");
    const File same(dir.Path(), L"same.txt");
    EXPECT_EQ(CodeOf([&] { same.CopyTo(dir.Path() + L"nowhere" + kSep, L""); }), 131);
    EXPECT_EQ(CodeOf([&] { same.CopyTo(dir.Path(), L""); }), 131);
    EXPECT_TRUE(log.Contains(L"CopyTo: CopyFileW failed (filename: same.txt, path: " + dir.Path() +
                             L", copyFilename:same.txt, copyPath: " + dir.Path()))
        << log.Dump();
    EXPECT_EQ(test::TreeContent(dir.FsPath()),
              (std::map<std::string, std::string>{{"same.txt", "the only copy"}}));
}

TEST_F(FileTest, TheVersionIsTheResourcesFileVersionAndItsAbsenceFails130) {
    const std::wstring fixtures = GetModuleDirectory() + kSep + L"pe-fixtures" + kSep;
    if (!std::filesystem::exists(std::filesystem::path(fixtures + L"version64.dll"))) {
        GTEST_SKIP() << "PE fixtures were not built (no Windows cross toolchain)";
    }
    // The file version, not the product version.
    EXPECT_EQ(File(fixtures, L"version64.dll").GetVersion().ToString(), L"2.0.1200.7");
    if (std::filesystem::exists(std::filesystem::path(fixtures + L"version32.dll"))) {
        EXPECT_EQ(File(fixtures, L"version32.dll").GetVersion().Numbers(),
                  (std::vector<int32_t>{3, 1, 4, 15}));
    }
    test::WriteTextFile(dir.Path() + L"plain.txt", "MZ but not really a program");
    const std::pair<std::wstring, std::wstring> unversioned[] = {
        {fixtures, L"noversion64.dll"}, {dir.Path(), L"plain.txt"}, {dir.Path(), L"missing.dll"}};
    for (const auto& [path, name] : unversioned) {
        log.Clear();
        EXPECT_EQ(CodeOf([&] { File(path, name).GetVersion(); }), 130);
        EXPECT_TRUE(log.Has(LevelError, L"GetVersion: GetFileVersionInfoSizeW returned 0. (filename: " +
                                            name + L", path: " + path + L")."))
            << log.Dump();
    }
}

TEST(FileVersionTest, ComparisonIgnoresTrailingZerosOnly) {
    const struct {
        FileVersion left;
        FileVersion right;
        int order;
    } cases[] = {{{1, 2, 0, 0}, {1, 2}, 0},
                 {{1, 2, 0, 1}, {1, 2}, 1},
                 {{1, 10, 0, 0}, {1, 9, 9, 9}, 1},
                 {{2, 0, 1200, 7}, {2, 0, 1200, 7}, 0},
                 {{2, 0, 1200, 6}, {2, 0, 1200, 7}, -1},
                 // Negative extra numbers do not make a version greater.
                 {{1, 2, -1}, {1, 2}, 0},
                 {{}, {0, 0}, 0}};
    for (const auto& c : cases) {
        EXPECT_EQ(c.left.Compare(c.right), c.order) << c.left.ToString() << " " << c.right.ToString();
        EXPECT_EQ(c.right.Compare(c.left), -c.order) << c.left.ToString() << " " << c.right.ToString();
        EXPECT_EQ(c.left <= c.right, c.order <= 0);
    }
}

} // namespace
} // namespace ZEPMaintenance
