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
namespace fs = std::filesystem;

using test::CodeOf;

const std::wstring kSep(1, platform::kPathSeparator);

std::vector<std::wstring> Names(const std::vector<File>& files) {
    std::vector<std::wstring> names;
    for (const File& file : files) {
        names.push_back(file.GetFilename());
    }
    std::sort(names.begin(), names.end());
    return names;
}

class DirectoryTest : public ::testing::Test {
protected:
    // root/a.txt, root/b.txt, root/sub/c.txt, root/sub/deeper/d.txt, root/empty
    Directory MakeTree(const std::wstring& name) {
        const fs::path root = dir.FsPath() / fs::path(name);
        fs::create_directories(root / "sub" / "deeper");
        fs::create_directory(root / "empty");
        test::WriteTextFile((root / "a.txt").wstring(), "alpha");
        test::WriteTextFile((root / "b.txt").wstring(), "bravo");
        test::WriteTextFile((root / "sub" / "c.txt").wstring(), "charlie");
        test::WriteTextFile((root / "sub" / "deeper" / "d.txt").wstring(), "delta");
        return Directory(dir.Path(), name);
    }
    Directory MakeEmpty(const std::wstring& name) {
        Directory folder;
        folder.Create(dir.Path(), name);
        return folder;
    }

    CapturedLog log;
    test::TempDir dir;
};

TEST(DirectoryNamingTest, TrailingSeparatorMakesNoDifference) {
    Directory withSeparator;
    withSeparator.SetFullPath(L"C:" + kSep + L"a" + kSep + L"b" + kSep);
    Directory without;
    without.SetFullPath(L"C:" + kSep + L"a" + kSep + L"b");
    for (const Directory* d : {&withSeparator, &without}) {
        EXPECT_EQ(d->GetPath(), L"C:" + kSep + L"a" + kSep);
        EXPECT_EQ(d->GetDirname(), L"b");
        EXPECT_EQ(d->GetFullPath(), L"C:" + kSep + L"a" + kSep + L"b" + kSep);
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
    EXPECT_TRUE(log.Has(LevelInfo, L"Exists: Directory existence checked. (dirname: made, path: " +
                                       dir.Path() + L", exists: true)"));
    folder.Create();
    EXPECT_TRUE(
        log.Has(LevelInfo, L"Create: Directory already exists. (path: " + dir.Path() + L", dirname: made)"));

    const std::wstring missingParent = dir.Path() + L"no" + kSep;
    Directory orphan;
    EXPECT_EQ(CodeOf([&] { orphan.Create(missingParent, L"child"); }), 134);
    EXPECT_TRUE(log.Contains(L"Create: CreateDirectoryW failed. (path: " + missingParent +
                             L", dirname: child, "
                             L"lastError: 3)"))
        << log.Dump();

    test::WriteTextFile(dir.Path() + L"plain", "file");
    EXPECT_FALSE(Directory(dir.Path(), L"plain").Exists());
}

TEST_F(DirectoryTest, ScanListsOneLevel) {
    Directory empty = MakeEmpty(L"void");
    empty.ScanDir();
    EXPECT_TRUE(empty.IsScanned());
    EXPECT_TRUE(empty.GetFiles().empty());
    EXPECT_TRUE(empty.GetSubdirs().empty());

    Directory tree = MakeTree(L"tree");
    test::WriteTextFile(dir.Path() + L"tree" + kSep + L".hidden", "h");
    // The lists are filled by the first access.
    EXPECT_FALSE(tree.IsScanned());
    EXPECT_EQ(Names(tree.GetFiles()), (std::vector<std::wstring>{L".hidden", L"a.txt", L"b.txt"}));
    EXPECT_TRUE(tree.IsScanned());
    std::vector<std::wstring> subdirs;
    for (const Directory& sub : tree.GetSubdirs()) {
        subdirs.push_back(sub.GetDirname());
        EXPECT_EQ(sub.GetPath(), tree.GetFullPath());
        EXPECT_FALSE(sub.IsScanned());
    }
    std::sort(subdirs.begin(), subdirs.end());
    EXPECT_EQ(subdirs, (std::vector<std::wstring>{L"empty", L"sub"}));
    EXPECT_EQ(tree.GetFiles().front().GetPath(), tree.GetFullPath());
    EXPECT_TRUE(log.Has(LevelInfo, L"ScanDir: File found. (path: " + dir.Path() +
                                       L", dirname: tree, foundFilename: a.txt)"));
    EXPECT_TRUE(log.Has(LevelInfo, L"ScanDir: Directory found. (path: " + dir.Path() +
                                       L", dirname: tree, foundDirname: sub)"));
    EXPECT_FALSE(log.Contains(L"foundDirname: .)"));
    EXPECT_FALSE(log.Contains(L"foundDirname: ..)"));

    const Directory copy(tree);
    EXPECT_TRUE(copy.IsScanned());

    Directory missing(dir.Path(), L"missing");
    EXPECT_EQ(CodeOf([&] { missing.ScanDir(); }), 135);
    EXPECT_TRUE(log.Has(LevelError, L"ScanDir: FindFirstFileW failed. (path: " + dir.Path() +
                                        L", dirname: missing, lastError: 3)"))
        << log.Dump();
    EXPECT_FALSE(missing.IsScanned());
}

TEST_F(DirectoryTest, DeleteRemovesTheWholeTree) {
    Directory permanent = MakeTree(L"permanent");
    permanent.Delete(true);
    EXPECT_TRUE(log.Has(LevelInfo, L"Delete: Delete directory (pszFrom: " + dir.Path() + L"permanent)."))
        << log.Dump();
    EXPECT_FALSE(fs::exists(dir.FsPath() / "permanent"));

    Directory recyclable = MakeTree(L"recyclable");
    recyclable.Delete(false);
    EXPECT_FALSE(fs::exists(dir.FsPath() / "recyclable"));

    Directory missing(dir.Path(), L"missing");
    EXPECT_EQ(CodeOf([&] { missing.Delete(true); }), 133);
    EXPECT_TRUE(log.Contains(L"Delete: SHFileOperation failed (ret: ")) << log.Dump();
}

TEST_F(DirectoryTest, CopyContentCopiesTheTree) {
    Directory source = MakeTree(L"source");
    Directory target = MakeEmpty(L"target");
    source.CopyContentTo(target, nullptr, nullptr, nullptr, false);
    const fs::path copied = dir.FsPath() / "target";
    EXPECT_EQ(test::ReadTextFile((copied / "a.txt").wstring()), "alpha");
    EXPECT_EQ(test::ReadTextFile((copied / "b.txt").wstring()), "bravo");
    EXPECT_EQ(test::ReadTextFile((copied / "sub" / "c.txt").wstring()), "charlie");
    EXPECT_EQ(test::ReadTextFile((copied / "sub" / "deeper" / "d.txt").wstring()), "delta");
    EXPECT_TRUE(fs::is_directory(copied / "empty"));

    // Copying again overwrites and keeps what only the target has.
    test::WriteTextFile((copied / "a.txt").wstring(), "changed");
    test::WriteTextFile((copied / "extra.txt").wstring(), "extra");
    Directory again(dir.Path(), L"source");
    again.CopyContentTo(target, nullptr, nullptr, nullptr, false);
    EXPECT_EQ(test::ReadTextFile((copied / "a.txt").wstring()), "alpha");
    EXPECT_TRUE(fs::exists(copied / "extra.txt"));
}

TEST_F(DirectoryTest, MissingTargetFailsWith100Unwrapped) {
    Directory source = MakeTree(L"source");
    Directory target(dir.Path(), L"absent");
    EXPECT_EQ(CodeOf([&] { source.CopyContentTo(target, nullptr, nullptr, nullptr, false); }), 100);
    EXPECT_TRUE(log.Has(LevelError, L"CopyContentTo: Target dir doesn't exists. (targetPath: " + dir.Path() +
                                        L", targetDirname: absent)"))
        << log.Dump();
    EXPECT_FALSE(log.Contains(L"Copy dir failed"));
}

TEST_F(DirectoryTest, FailureDeepInTheTreeIsWrappedAtEveryLevel) {
    Directory source = MakeTree(L"source");
    Directory target = MakeEmpty(L"target");
    // A file where the copy needs a folder: the create accepts it as existing, the nested copy finds no
    // target folder, and the level above wraps that failure.
    fs::create_directory(dir.FsPath() / "target" / "sub");
    test::WriteTextFile((dir.FsPath() / "target" / "sub" / "deeper").wstring(), "in the way");
    EXPECT_EQ(CodeOf([&] { source.CopyContentTo(target, nullptr, nullptr, nullptr, false); }), 136);
    const std::wstring subTarget = dir.Path() + L"target" + kSep;
    EXPECT_TRUE(log.Has(LevelError, L"CopyContentTo: Target dir doesn't exists. (targetPath: " + subTarget +
                                        L"sub" + kSep + L", targetDirname: deeper)"))
        << log.Dump();
    EXPECT_TRUE(log.Has(LevelError, L"CopyContentTo: Copy dir failed. Exception occured. (targetPath: " +
                                        subTarget + L", targetDirname: sub, exCode: 100, exText: " +
                                        IMException(100, nullptr).GetErrorDescription() + L")"))
        << log.Dump();
    EXPECT_TRUE(log.Has(LevelError, L"CopyContentTo: Copy dir failed. Exception occured. (targetPath: " +
                                        dir.Path() + L", targetDirname: target, exCode: 136, exText: " +
                                        IMException(136, nullptr).GetErrorDescription() + L")"))
        << log.Dump();
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
};

TEST_F(ProtectedCopyTest, StampedBackupRestoresAndCarriesTheSet) {
    const Permissions backupSet = test::BackupFileSet();
    const CSid administrators = CSid::Administrators();
    Directory product = MakeTree(L"product");
    Directory backup = MakeEmpty(L"backup");
    product.CopyContentTo(backup, &backupSet, nullptr, &administrators, false);

    const std::wstring items[] = {L"a.txt", L"sub", L"sub" + kSep + L"deeper" + kSep + L"d.txt", L"empty"};
    for (const std::wstring& item : items) {
        const std::wstring full = dir.Path() + L"backup" + kSep + item;
        Permissions loaded;
        loaded.LoadPermissionsFromFile(full);
        EXPECT_TRUE(loaded.EqualPermissions(test::BackupFileSet())) << log.Dump();
        EXPECT_EQ(Permissions::GetFileOwner(full), administrators);
    }

    Directory restored = MakeEmpty(L"restored");
    Directory fromBackup(dir.Path(), L"backup");
    fromBackup.CopyContentTo(restored, nullptr, &backupSet, nullptr, true);
    EXPECT_EQ(
        test::ReadTextFile(dir.Path() + L"restored" + kSep + L"sub" + kSep + L"deeper" + kSep + L"d.txt"),
        "delta");
    EXPECT_FALSE(log.Contains(L"Hack attempt?"));
}

TEST_F(ProtectedCopyTest, UnstampedItemStopsTheRestoreWith136) {
    const Permissions backupSet = test::BackupFileSet();
    Directory backup = MakeTree(L"backup");
    Directory restored = MakeEmpty(L"restored");
    EXPECT_EQ(CodeOf([&] { backup.CopyContentTo(restored, nullptr, &backupSet, nullptr, true); }), 136);
    const std::wstring first = backup.GetFiles().front().GetFullPath();
    EXPECT_TRUE(
        log.Has(LevelError, L"CopyContentTo: Permissions of file doesn't equals to expected permissions. "
                            L"Hack attempt? (filename: " +
                                first + L")"))
        << log.Dump();
    EXPECT_TRUE(log.Has(LevelError, L"CopyContentTo: Copy dir failed. Exception occured. (targetPath: " +
                                        dir.Path() + L", targetDirname: restored, exCode: 153, exText: " +
                                        IMException(153, nullptr).GetErrorDescription() + L")"));
    EXPECT_TRUE(fs::is_empty(dir.FsPath() / "restored"));
}

} // namespace
} // namespace ZEPMaintenance
