// Directory: naming, creation, scans, deletion and the recursive copy with its checks.
#include "system/Directory.h"

#include "base/Platform.h"
#include "diag/IMException.h"
#include "support/CapturedLog.h"
#include "support/ErrorCodeOf.h"
#include "support/SystemSupport.h"
#include "support/TempDir.h"
#include "system/Permissions.h"
#include "system/Text.h"

#include <algorithm>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>

namespace ZEPMaintenance {
namespace {

using test::CapturedLog;
using test::CodeOf;
namespace fs = std::filesystem;
using Tree = std::map<std::string, std::string>;

const std::wstring kSep(1, platform::kPathSeparator);

// What MakeTree makes.
const Tree kTree = {
    {"a.txt", "alpha"},  {"b.txt", "bravo"},           {"empty/", ""}, {"sub/", ""}, {"sub/c.txt", "charlie"},
    {"sub/deeper/", ""}, {"sub/deeper/d.txt", "delta"}};

class DirectoryTest : public ::testing::Test {
protected:
    Directory MakeTree(const std::wstring& name) {
        const fs::path root = dir.FsPath() / fs::path(name);
        fs::create_directory(root);
        for (const auto& [item, content] : kTree) {
            if (item.back() == '/') {
                fs::create_directories(root / item);
            } else {
                test::WriteTextFile((root / item).wstring(), content);
            }
        }
        return Directory(dir.Path(), name);
    }
    Directory MakeEmpty(const std::wstring& name) {
        Directory folder;
        folder.Create(dir.Path(), name);
        return folder;
    }
    std::wstring CopyFailedLine(const std::wstring& path, const wchar_t* name, int32_t code) const {
        return L"CopyContentTo: Copy dir failed. Exception occured. (targetPath: " + path +
               L", targetDirname: " + name + L", exCode: " + std::to_wstring(code) + L", exText: " +
               IMException(code, nullptr).GetErrorDescription() + L")";
    }

    CapturedLog log;
    test::TempDir dir;
};

TEST(DirectoryNamingTest, TrailingSeparatorMakesNoDifference) {
    const std::wstring parent = L"C:" + kSep + L"a" + kSep;
    for (const std::wstring& full : {parent + L"b" + kSep, parent + L"b"}) {
        Directory folder;
        folder.SetFullPath(full);
        EXPECT_EQ(folder.GetPath(), parent);
        EXPECT_EQ(folder.GetDirname(), L"b");
        EXPECT_EQ(folder.GetFullPath(), parent + L"b" + kSep);
    }
    Directory bare;
    bare.SetFullPath(L"name");
    EXPECT_EQ(bare.GetPath(), L"");
    EXPECT_EQ(bare.GetFullPath(), L"name" + kSep);
}

TEST_F(DirectoryTest, OperationsNeedADirname) {
    Directory unnamed(dir.Path(), L"");
    Directory target = MakeEmpty(L"target");
    const struct {
        const wchar_t* line;
        std::function<void()> action;
    } cases[] = {
        {L"Exists: Dirname not set.", [&] { unnamed.Exists(); }},
        {L"ScanDir: Dirname not set.", [&] { unnamed.ScanDir(); }},
        {L"CopyContentTo: Dirname not set.",
         [&] { unnamed.CopyContentTo(target, nullptr, nullptr, nullptr, false); }},
        {L"Delete: Dirname not set.", [&] { unnamed.Delete(true); }},
        {L"Create: Dirname not set.", [&] { unnamed.Create(); }},
        {L"SetPermissions: Dirname not set.", [&] { unnamed.SetPermissions(test::BackupFileSet()); }},
        {L"GetPermissions: Dirname not set.", [&] { unnamed.GetPermissions(); }},
    };
    for (const auto& c : cases) {
        log.Clear();
        EXPECT_EQ(CodeOf(c.action), 100) << WideToMultiByte(c.line, kUtf8CodePage);
        EXPECT_TRUE(log.Has(LevelError, c.line)) << log.Dump();
    }
    EXPECT_TRUE(fs::exists(dir.FsPath() / "target"));
}

TEST_F(DirectoryTest, CreateAcceptsAnExistingFolderAndNeedsItsParent) {
    Directory folder;
    folder.Create(dir.Path(), L"made");
    EXPECT_TRUE(folder.Exists());
    folder.Create();
    const std::wstring missingParent = dir.Path() + L"no" + kSep;
    EXPECT_EQ(CodeOf([&] { Directory().Create(missingParent, L"child"); }), 134);
    EXPECT_EQ(log.Missing({{LevelInfo, L"Exists: Directory existence checked. (dirname: made, path: " +
                                           dir.Path() + L", exists: true)"},
                           {LevelInfo,
                            L"Create: Directory already exists. (path: " + dir.Path() + L", dirname: made)"},
                           {LevelError, L"Create: CreateDirectoryW failed. (path: " + missingParent +
                                            L", dirname: child, lastError: 3)"}}),
              L"");
    test::WriteTextFile(dir.Path() + L"plain", "file");
    EXPECT_FALSE(Directory(dir.Path(), L"plain").Exists());
}

TEST_F(DirectoryTest, ScanListsOneLevelOnFirstUse) {
    Directory empty = MakeEmpty(L"void");
    EXPECT_TRUE(empty.GetFiles().empty());
    EXPECT_TRUE(empty.GetSubdirs().empty());

    Directory tree = MakeTree(L"tree");
    test::WriteTextFile(dir.Path() + L"tree" + kSep + L".hidden", "h");
    EXPECT_FALSE(tree.IsScanned());
    std::vector<std::wstring> names;
    for (const File& file : tree.GetFiles()) {
        names.push_back(file.GetFilename());
        EXPECT_EQ(file.GetPath(), tree.GetFullPath());
    }
    for (const Directory& sub : tree.GetSubdirs()) {
        names.push_back(sub.GetDirname() + kSep);
        EXPECT_EQ(sub.GetPath(), tree.GetFullPath());
        EXPECT_FALSE(sub.IsScanned());
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names,
              (std::vector<std::wstring>{L".hidden", L"a.txt", L"b.txt", L"empty" + kSep, L"sub" + kSep}));
    EXPECT_TRUE(Directory(tree).IsScanned());
    EXPECT_EQ(log.Missing({{LevelInfo, L"ScanDir: File found. (path: " + dir.Path() +
                                           L", dirname: tree, foundFilename: a.txt)"},
                           {LevelInfo, L"ScanDir: Directory found. (path: " + dir.Path() +
                                           L", dirname: tree, foundDirname: sub)"}}),
              L"");
    EXPECT_FALSE(log.Contains(L"foundDirname: .)") || log.Contains(L"foundDirname: ..)"));

    Directory missing(dir.Path(), L"missing");
    EXPECT_EQ(CodeOf([&] { missing.ScanDir(); }), 135);
    EXPECT_TRUE(log.Has(LevelError, L"ScanDir: FindFirstFileW failed. (path: " + dir.Path() +
                                        L", dirname: missing, lastError: 3)"))
        << log.Dump();
    EXPECT_FALSE(missing.IsScanned());
}

TEST_F(DirectoryTest, DeleteRemovesTheWholeTree) {
    MakeTree(L"permanent").Delete(true);
    EXPECT_TRUE(log.Has(LevelInfo, L"Delete: Delete directory (pszFrom: " + dir.Path() + L"permanent)."))
        << log.Dump();
    MakeTree(L"recyclable").Delete(false);
    EXPECT_TRUE(fs::is_empty(dir.FsPath()));
    EXPECT_EQ(CodeOf([&] { Directory(dir.Path(), L"missing").Delete(true); }), 133);
    EXPECT_TRUE(log.Contains(L"Delete: SHFileOperation failed (ret: ")) << log.Dump();
}

TEST_F(DirectoryTest, CopyContentCopiesTheTreeOverWhatIsThere) {
    Directory target = MakeEmpty(L"target");
    MakeTree(L"source").CopyContentTo(target, nullptr, nullptr, nullptr, false);
    EXPECT_EQ(test::TreeContent(dir.FsPath() / "target"), kTree);

    // Copying again overwrites and keeps what only the target has.
    test::WriteTextFile(dir.Path() + L"target" + kSep + L"a.txt", "changed");
    test::WriteTextFile(dir.Path() + L"target" + kSep + L"extra.txt", "extra");
    Directory(dir.Path(), L"source").CopyContentTo(target, nullptr, nullptr, nullptr, false);
    Tree expected = kTree;
    expected["extra.txt"] = "extra";
    EXPECT_EQ(test::TreeContent(dir.FsPath() / "target"), expected);
}

TEST_F(DirectoryTest, FailuresAreWrappedAtEveryLevelButTheTopsMissingTarget) {
    Directory source = MakeTree(L"source");
    Directory absent(dir.Path(), L"absent");
    EXPECT_EQ(CodeOf([&] { source.CopyContentTo(absent, nullptr, nullptr, nullptr, false); }), 100);
    EXPECT_TRUE(log.Has(LevelError, L"CopyContentTo: Target dir doesn't exists. (targetPath: " + dir.Path() +
                                        L", targetDirname: absent)"))
        << log.Dump();
    EXPECT_FALSE(log.Contains(L"Copy dir failed"));

    // A file where the copy needs a folder: the create accepts it as existing, the nested copy finds no
    // target folder, and the level above wraps that failure.
    Directory target = MakeEmpty(L"target");
    fs::create_directory(dir.FsPath() / "target" / "sub");
    test::WriteTextFile((dir.FsPath() / "target" / "sub" / "deeper").wstring(), "in the way");
    EXPECT_EQ(CodeOf([&] { source.CopyContentTo(target, nullptr, nullptr, nullptr, false); }), 136);
    const std::wstring subTarget = dir.Path() + L"target" + kSep;
    EXPECT_EQ(log.Missing({{LevelError, L"CopyContentTo: Target dir doesn't exists. (targetPath: " +
                                            subTarget + L"sub" + kSep + L", targetDirname: deeper)"},
                           {LevelError, CopyFailedLine(subTarget, L"sub", 100)},
                           {LevelError, CopyFailedLine(dir.Path(), L"target", 136)}}),
              L"");
    // Nothing already copied is undone.
    EXPECT_TRUE(fs::exists(dir.FsPath() / "target" / "a.txt"));
    EXPECT_TRUE(fs::exists(dir.FsPath() / "target" / "sub" / "c.txt"));
}

class ProtectedCopyTest : public DirectoryTest {
protected:
    void SetUp() override {
        if (const char* reason = test::FileDaclSkipReason()) {
            GTEST_SKIP() << reason;
        }
    }
    const Permissions backupSet = test::BackupFileSet();
};

TEST_F(ProtectedCopyTest, StampedBackupRestoresAndCarriesTheSet) {
    const CSid administrators = CSid::Administrators();
    Directory backup = MakeEmpty(L"backup");
    MakeTree(L"product").CopyContentTo(backup, &backupSet, nullptr, &administrators, false);
    for (const std::wstring& item : {std::wstring(L"a.txt"), std::wstring(L"sub"),
                                     L"sub" + kSep + L"deeper" + kSep + L"d.txt", std::wstring(L"empty")}) {
        const std::wstring full = dir.Path() + L"backup" + kSep + item;
        Permissions loaded;
        loaded.LoadPermissionsFromFile(full);
        EXPECT_TRUE(loaded.EqualPermissions(test::BackupFileSet())) << log.Dump();
        EXPECT_EQ(Permissions::GetFileOwner(full), administrators);
    }

    Directory restored = MakeEmpty(L"restored");
    Directory(dir.Path(), L"backup").CopyContentTo(restored, nullptr, &backupSet, nullptr, true);
    EXPECT_EQ(test::TreeContent(dir.FsPath() / "restored"), kTree);
    EXPECT_FALSE(log.Contains(L"Hack attempt?"));
}

TEST_F(ProtectedCopyTest, UnstampedItemStopsTheRestoreWith136) {
    Directory backup = MakeTree(L"backup");
    Directory restored = MakeEmpty(L"restored");
    EXPECT_EQ(CodeOf([&] { backup.CopyContentTo(restored, nullptr, &backupSet, nullptr, true); }), 136);
    EXPECT_EQ(log.Missing(
                  {{LevelError, L"CopyContentTo: Permissions of file doesn't equals to expected permissions. "
                                L"Hack attempt? (filename: " +
                                    backup.GetFiles().front().GetFullPath() + L")"},
                   {LevelError, CopyFailedLine(dir.Path(), L"restored", 153)}}),
              L"");
    EXPECT_TRUE(fs::is_empty(dir.FsPath() / "restored"));
}

} // namespace
} // namespace ZEPMaintenance
