// The delete-file action: the protected copy it saves, the delete list it shortens, the paths it refuses,
// and the restore that checks the copy first.
#include "upgrade/Action.h"

#include "app/Maintenance.h"
#include "support/CapturedLog.h"
#include "support/ErrorCodeOf.h"
#include "support/SystemSupport.h"
#include "support/TempDir.h"
#include "system/Permissions.h"
#include "system/Platform.h"
#include "upgrade/BackupPermissions.h"

#include <filesystem>
#include <gtest/gtest.h>

namespace ZEPMaintenance {
namespace {

using test::CapturedLog;
using test::CodeOf;
namespace fs = std::filesystem;

const std::wstring kSep(1, platform::kPathSeparator);

class DeleteFileActionTest : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(product / "bin");
        fs::create_directories(data);
        test::WriteTextFile((product / "old.txt").wstring(), "old text");
        test::WriteTextFile((product / "bin" / "old.dll").wstring(), "old library");
        worker.programDirectory.SetFullPath(product.wstring() + kSep);
        worker.dataDirectory.SetFullPath(data.wstring() + kSep);
    }

    // Runs a fresh action for path bound to the worker; the code it raises, 0 when none.
    int32_t Run(const std::wstring& path) {
        DeleteFileAction action(path);
        action.SetMaintenance(&worker);
        return CodeOf([&] { action.RunAction(); });
    }
    int32_t Rollback(const std::wstring& path) {
        DeleteFileAction action(path);
        action.SetMaintenance(&worker);
        return CodeOf([&] { action.RollbackAction(); });
    }

    std::wstring Saved(const std::wstring& relative) const {
        return (data / "backupActions").wstring() + kSep + relative;
    }

    CapturedLog log;
    test::TempDir dir;
    const fs::path product = dir.FsPath() / "product";
    const fs::path data = dir.FsPath() / "data";
    Maintenance worker;
};

TEST_F(DeleteFileActionTest, AnUnboundOrEmptyActionFailsWith100) {
    DeleteFileAction unbound(L"old.txt");
    EXPECT_EQ(CodeOf([&] { unbound.RunAction(); }), 100);
    EXPECT_TRUE(log.Has(LevelError, L"RunAction: _maintenancePtr not set"));
    EXPECT_EQ(CodeOf([&] { unbound.RollbackAction(); }), 100);
    EXPECT_TRUE(log.Has(LevelError, L"RollbackAction: _maintenancePtr not set"));

    EXPECT_EQ(Run(L""), 100);
    EXPECT_TRUE(log.Has(LevelError, L"RunAction: _filePath not set"));
    EXPECT_EQ(Rollback(L""), 100);
    EXPECT_TRUE(log.Has(LevelError, L"RollbackAction: _filePath not set"));
    EXPECT_TRUE(fs::exists(product / "old.txt"));
    EXPECT_FALSE(fs::exists(data / "backupActions"));
}

TEST_F(DeleteFileActionTest, CloneIsUnboundAndResetClearsBoth) {
    DeleteFileAction action(L"bin\\old.dll");
    action.SetMaintenance(&worker);
    const std::unique_ptr<Action> copy = action.Clone();
    EXPECT_EQ(copy->GetMaintenance(), nullptr);
    EXPECT_EQ(static_cast<DeleteFileAction&>(*copy).GetFilePath(), L"bin\\old.dll");
    action.Reset();
    EXPECT_EQ(action.GetMaintenance(), nullptr);
    EXPECT_EQ(action.GetFilePath(), L"");
    // The copy is its own: it runs after the original was reset.
    copy->SetMaintenance(&worker);
    copy->RunAction();
    EXPECT_FALSE(fs::exists(product / "bin" / "old.dll"));
}

TEST_F(DeleteFileActionTest, RunSavesTheFileUnderItsPathAndDeletesIt) {
    // An older copy is replaced; other content of an existing store stays.
    fs::create_directories(data / "backupActions" / "bin");
    test::WriteTextFile(Saved(L"bin" + kSep + L"old.dll"), "stale copy");
    test::WriteTextFile(Saved(L"other.txt"), "kept");

    EXPECT_EQ(Run(L"bin\\old.dll"), 0) << log.Dump();
    EXPECT_FALSE(fs::exists(product / "bin" / "old.dll"));
    EXPECT_TRUE(fs::exists(product / "bin"));
    EXPECT_EQ(test::ReadTextFile(Saved(L"bin" + kSep + L"old.dll")), "old library");
    EXPECT_EQ(test::ReadTextFile(Saved(L"other.txt")), "kept");
    EXPECT_TRUE(log.Has(LevelInfo, L"RunAction: File backuped a deleted (filePath: bin\\old.dll)"));

    // A sub-folder of the store that is not there yet is made.
    fs::create_directories(product / "lib" / "x86");
    test::WriteTextFile((product / "lib" / "x86" / "a.so").wstring(), "deep");
    EXPECT_EQ(Run(L"lib\\.\\x86\\\\a.so"), 0) << log.Dump();
    EXPECT_EQ(test::ReadTextFile(Saved(L"lib" + kSep + L"x86" + kSep + L"a.so")), "deep");

    if (test::FileDaclSkipReason() != nullptr) {
        return;
    }
    // The store, each folder on the way and the copy carry the backup set and belong to the
    // administrators.
    const Permissions backupSet = BuildBackupPermissions();
    for (const std::wstring& item :
         {Saved(L""), Saved(L"bin"), Saved(L"bin" + kSep + L"old.dll"), Saved(L"lib" + kSep + L"x86")}) {
        EXPECT_EQ(CheckBackupItem(item, backupSet), BackupItemState::Protected) << log.Dump();
    }
}

TEST_F(DeleteFileActionTest, TheDeleteListLosesOnlyTheFirstExactSpelling) {
    worker.deleteList = {L"BIN\\OLD.DLL", L"other.txt", L"bin\\old.dll", L"bin/old.dll", L"bin\\old.dll"};
    EXPECT_EQ(Run(L"bin\\old.dll"), 0);
    EXPECT_EQ(worker.deleteList,
              (std::vector<std::wstring>{L"BIN\\OLD.DLL", L"other.txt", L"bin/old.dll", L"bin\\old.dll"}));
    // A path not listed leaves the list as it is.
    EXPECT_EQ(Run(L"old.txt"), 0);
    EXPECT_EQ(worker.deleteList.size(), 4u);
}

TEST_F(DeleteFileActionTest, AMissingFileFailsWith103BeforeAnythingIsSaved) {
    EXPECT_EQ(Run(L"bin\\gone.dll"), 103);
    EXPECT_TRUE(log.Has(LevelError, L"RunAction: File to delete doesn't exists. (filePath: bin\\gone.dll)"));
    // A folder is no file to delete.
    EXPECT_EQ(Run(L"bin"), 103);
    EXPECT_FALSE(fs::exists(data / "backupActions"));
    EXPECT_TRUE(fs::exists(product / "bin" / "old.dll"));
}

TEST_F(DeleteFileActionTest, PathsThatLeaveTheProductFolderAreRefusedWith103) {
    // Files that each refused path would otherwise reach.
    test::WriteTextFile((dir.FsPath() / "outside.txt").wstring(), "not the product's");
    const std::wstring absolute = (product / "old.txt").wstring();
    for (const std::wstring& path :
         {std::wstring(L"..\\outside.txt"), std::wstring(L"bin\\..\\..\\outside.txt"),
          std::wstring(L"../outside.txt"), absolute, std::wstring(L"C:\\outside.txt"),
          std::wstring(L"old.txt:stream"), std::wstring(L"...\\outside.txt"), std::wstring(L"."),
          std::wstring(L"\\old.txt")}) {
        log.Clear();
        EXPECT_EQ(Run(path), 103) << path.c_str();
        EXPECT_TRUE(log.Has(LevelError, L"RunAction: File path does not name a file inside the product "
                                        L"folder; refused. (filePath: " +
                                            path + L")"))
            << log.Dump();
        EXPECT_TRUE(
            log.Has(LevelError, L"RunAction: File to delete doesn't exists. (filePath: " + path + L")"));
    }
    EXPECT_TRUE(fs::exists(dir.FsPath() / "outside.txt"));
    EXPECT_TRUE(fs::exists(product / "old.txt"));
    EXPECT_FALSE(fs::exists(data / "backupActions"));

    // The restore refuses the same paths: a copy planted beside the store never reaches a place above
    // the product folder.
    fs::create_directories(data / "backupActions");
    test::WriteTextFile((data / "planted.txt").wstring(), "planted");
    log.Clear();
    EXPECT_EQ(Rollback(L"..\\planted.txt"), 103);
    EXPECT_TRUE(log.Has(LevelError, L"RollbackAction: File path does not name a file inside the backup "
                                    L"folder; refused. (filePath: ..\\planted.txt)"))
        << log.Dump();
    EXPECT_FALSE(fs::exists(dir.FsPath() / "planted.txt"));
}

TEST_F(DeleteFileActionTest, RollbackWithoutASavedCopyFailsWith100) {
    // No store at all, then a store without the copy.
    EXPECT_EQ(Rollback(L"old.txt"), 100);
    EXPECT_TRUE(log.Has(LevelError, L"RollbackAction: Backup of file doesn't exists"));
    fs::create_directories(data / "backupActions");
    log.Clear();
    EXPECT_EQ(Rollback(L"bin\\old.dll"), 100);
    EXPECT_TRUE(log.Has(LevelError, L"RollbackAction: Backup of file doesn't exists"));
    EXPECT_EQ(test::ReadTextFile((product / "bin" / "old.dll").wstring()), "old library");
}

class DeleteFileActionRestoreTest : public DeleteFileActionTest {
protected:
    void SetUp() override {
        if (const char* reason = test::FileDaclSkipReason()) {
            GTEST_SKIP() << reason;
        }
        DeleteFileActionTest::SetUp();
    }
};

TEST_F(DeleteFileActionRestoreTest, RollbackPutsTheSavedCopyBackOverWhateverIsThere) {
    ASSERT_EQ(Run(L"bin\\old.dll"), 0) << log.Dump();
    ASSERT_EQ(Run(L"old.txt"), 0) << log.Dump();
    // One file is back under its name by now, the other is not.
    test::WriteTextFile((product / "bin" / "old.dll").wstring(), "new library");

    EXPECT_EQ(Rollback(L"bin\\old.dll"), 0) << log.Dump();
    EXPECT_EQ(Rollback(L"old.txt"), 0) << log.Dump();
    EXPECT_EQ(test::ReadTextFile((product / "bin" / "old.dll").wstring()), "old library");
    EXPECT_EQ(test::ReadTextFile((product / "old.txt").wstring()), "old text");
    EXPECT_TRUE(log.Has(LevelInfo, L"RollbackAction: File rollbacked (filePath: bin\\old.dll)"));
    // The copy stays for the clean-up.
    EXPECT_TRUE(fs::exists(Saved(L"bin" + kSep + L"old.dll")));
}

TEST_F(DeleteFileActionRestoreTest, ACopyWhosePermissionsChangedIsNeverRestored) {
    ASSERT_EQ(Run(L"bin\\old.dll"), 0) << log.Dump();
    // The same two entries in the other order.
    Permissions reversed;
    reversed.AddAllowedAce(CSid::Users(), AccessMask::kFileReadAndExecute);
    reversed.AddAllowedAce(CSid::Administrators(), AccessMask::kFileAllAccess);
    const std::wstring copy = Saved(L"bin" + kSep + L"old.dll");
    reversed.SavePermissionsToFile(copy);

    EXPECT_EQ(Rollback(L"bin\\old.dll"), 153);
    EXPECT_TRUE(log.Has(LevelError, L"RollbackAction: Permissions of backup file doesn't equals to expected "
                                    L"permissions. Hack attempt? (filename: " +
                                        copy + L")"))
        << log.Dump();
    EXPECT_FALSE(fs::exists(product / "bin" / "old.dll"));

    // A folder on the way that lost the set stops it as well, before the copy is looked at.
    BuildBackupPermissions().SavePermissionsToFile(copy);
    reversed.SavePermissionsToFile(Saved(L"bin"));
    log.Clear();
    EXPECT_EQ(Rollback(L"bin\\old.dll"), 153);
    EXPECT_TRUE(log.Has(LevelError, L"RollbackAction: Folder of backup file is not protected as expected. "
                                    L"Hack attempt? (dirname: " +
                                        Saved(L"bin") + kSep + L")"))
        << log.Dump();
    EXPECT_FALSE(fs::exists(product / "bin" / "old.dll"));
}

} // namespace
} // namespace ZEPMaintenance
