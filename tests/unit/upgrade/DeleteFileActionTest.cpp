// The delete-file action: the protected copy it saves, the delete list it shortens, the paths it refuses,
// and the restore that checks the copy first.
#include "upgrade/Action.h"

#include "base/Platform.h"
#include "support/CapturedLog.h"
#include "support/EngineSupport.h"
#include "support/ErrorCodeOf.h"
#include "support/MachineRoot.h"
#include "support/SystemSupport.h"
#include "support/TempDir.h"
#include "upgrade/BackupPermissions.h"
#include "upgrade/Rollback.h"

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
        layout = test::LayoutOf(product.wstring() + kSep, data.wstring() + kSep);
        // Root's own place lies outside the test's folder where the machine root does not move it (Windows).
        std::error_code ignored;
        fs::remove_all(test::PathOf(layout.StateRoot()), ignored);
    }

    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(test::PathOf(layout.StateRoot()), ignored);
    }

    // A fresh action for path bound to the engine's context, run or rolled back; the code it raises, 0 for
    // none.
    int32_t Run(const std::wstring& path, bool rollback = false) {
        DeleteFileAction action(path);
        action.SetContext(&context);
        return CodeOf([&] { rollback ? action.RollbackAction() : action.RunAction(); });
    }

    std::wstring Saved(const std::wstring& relative) const {
        return layout.SavedCopies().GetFullPath() + relative;
    }

    CapturedLog log;
    test::ScopedMachineRoot machine;
    test::TempDir dir;
    const fs::path product = dir.FsPath() / "product";
    const fs::path data = dir.FsPath() / "data";
    EngineLayout layout;
    std::vector<std::wstring> deleteList;
    ActionContext context{layout, deleteList};
};

TEST_F(DeleteFileActionTest, AnUnboundOrEmptyActionFailsWith100) {
    DeleteFileAction action(L"bin\\old.dll");
    EXPECT_EQ(CodeOf([&] { action.RunAction(); }), 100);
    EXPECT_EQ(CodeOf([&] { action.RollbackAction(); }), 100);
    EXPECT_TRUE(log.Has(LevelError, L"RunAction: _maintenancePtr not set"));
    EXPECT_TRUE(log.Has(LevelError, L"RollbackAction: _maintenancePtr not set"));
    EXPECT_EQ(Run(L""), 100);
    EXPECT_EQ(Run(L"", true), 100);
    EXPECT_TRUE(log.Has(LevelError, L"RunAction: _filePath not set"));
    EXPECT_TRUE(log.Has(LevelError, L"RollbackAction: _filePath not set"));
    EXPECT_TRUE(fs::exists(product / "bin" / "old.dll"));
}

// The rule the release tool checks a DeleteFile by is the one the action refuses by: each verdict comes
// with the action's own code, and nothing refused is touched.
TEST_F(DeleteFileActionTest, ThePathRuleIsTheActionsOwn) {
    struct Case {
        const wchar_t* path;
        DeleteFilePath verdict;
        int32_t code;
    };
    const Case cases[] = {
        {L"", DeleteFilePath::Empty, 100},
        {L"a\\...\\b.txt", DeleteFilePath::Outside, 103},
        {L"bin\\. .\\old.dll", DeleteFilePath::Outside, 103},
        {L".", DeleteFilePath::Outside, 103},
        {L".\\", DeleteFilePath::Outside, 103},
        {L"C:old.txt", DeleteFilePath::Outside, 103},
        {L"\\old.txt", DeleteFilePath::Outside, 103},
        {L"bin\\", DeleteFilePath::NamesNoFile, 103},
        {L"bin/", DeleteFilePath::NamesNoFile, 103},
        {L".\\old.txt", DeleteFilePath::Deletable, 0},
        {L"bin\\.\\old.dll", DeleteFilePath::Deletable, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(CheckDeleteFilePath(c.path), c.verdict) << c.path;
        const bool bothThere = fs::exists(product / "old.txt") && fs::exists(product / "bin" / "old.dll");
        EXPECT_EQ(Run(c.path), c.code) << c.path;
        if (c.code != 0) {
            EXPECT_EQ(fs::exists(product / "old.txt") && fs::exists(product / "bin" / "old.dll"), bothThere)
                << c.path;
        }
    }
    EXPECT_FALSE(fs::exists(product / "old.txt"));
    EXPECT_FALSE(fs::exists(product / "bin" / "old.dll"));
    EXPECT_TRUE(fs::is_directory(product / "bin"));
}

TEST_F(DeleteFileActionTest, RunSavesTheFileUnderItsPathDeletesItAndShortensTheList) {
    // An older copy is replaced; other content of an existing store stays. Wine keeps no DACLs, so there
    // the store is never found protected: it is set aside and made anew at each run.
    const bool keepsStore = !test::RunningUnderWine();
    if (keepsStore) {
        upgrade::PrepareState(layout, Logger(L"Maintenance"));
        fs::create_directories(test::PathOf(layout.SavedCopies()) / "bin");
        test::WriteTextFile(Saved(L"bin" + kSep + L"old.dll"), "stale copy");
        test::WriteTextFile(Saved(L"other.txt"), "kept");
    }
    // Only the first entry spelled exactly as the manifest's path goes.
    deleteList = {L"BIN\\OLD.DLL", L"bin\\old.dll", L"bin/old.dll", L"bin\\old.dll"};

    EXPECT_EQ(Run(L"bin\\old.dll"), 0) << log.Dump();
    EXPECT_FALSE(fs::exists(product / "bin" / "old.dll"));
    EXPECT_EQ(test::ReadTextFile(Saved(L"bin" + kSep + L"old.dll")), "old library");
    EXPECT_EQ(keepsStore ? test::ReadTextFile(Saved(L"other.txt")) : "kept", "kept");
    EXPECT_EQ(deleteList, (std::vector<std::wstring>{L"BIN\\OLD.DLL", L"bin/old.dll", L"bin\\old.dll"}));
    EXPECT_TRUE(log.Has(LevelInfo, L"RunAction: File backuped a deleted (filePath: bin\\old.dll)"));

    // Sub-folders not in the store yet are made; "." and doubled separators name nothing.
    fs::create_directories(product / "lib" / "x86");
    test::WriteTextFile((product / "lib" / "x86" / "a.so").wstring(), "deep");
    EXPECT_EQ(Run(L"lib\\.\\x86\\\\a.so"), 0) << log.Dump();
    EXPECT_EQ(test::ReadTextFile(Saved(L"lib" + kSep + L"x86" + kSep + L"a.so")), "deep");

    if (test::FileDaclSkipReason() == nullptr) {
        const Permissions backupSet = BuildBackupPermissions();
        for (const std::wstring& item :
             {Saved(L""), Saved(L"bin"), Saved(L"bin" + kSep + L"old.dll"), Saved(L"lib" + kSep + L"x86")}) {
            EXPECT_EQ(CheckBackupItem(item, backupSet), BackupItemState::Protected) << log.Dump();
        }
    }
}

TEST_F(DeleteFileActionTest, MissingFilesAndPathsOutsideTheFolderFailWith103) {
    EXPECT_EQ(Run(L"bin\\gone.dll"), 103);
    EXPECT_TRUE(log.Has(LevelError, L"RunAction: File to delete doesn't exists. (filePath: bin\\gone.dll)"));
    EXPECT_EQ(Run(L"bin"), 103);

    // Each of these would reach a file that exists.
    test::WriteTextFile((dir.FsPath() / "outside.txt").wstring(), "not the product's");
    for (const std::wstring& path :
         {std::wstring(L"bin\\..\\..\\outside.txt"), (product / "old.txt").wstring(),
          std::wstring(L"old.txt:stream"), std::wstring(L".")}) {
        log.Clear();
        EXPECT_EQ(Run(path), 103) << testing::PrintToString(path);
        EXPECT_TRUE(log.Has(LevelError, L"RunAction: File path does not name a file inside the product "
                                        L"folder; refused. (filePath: " +
                                            path + L")"))
            << log.Dump();
        EXPECT_TRUE(
            log.Has(LevelError, L"RunAction: File to delete doesn't exists. (filePath: " + path + L")"));
    }
    EXPECT_TRUE(fs::exists(dir.FsPath() / "outside.txt"));
    EXPECT_TRUE(fs::exists(product / "old.txt"));
    EXPECT_FALSE(fs::exists(test::PathOf(layout.SavedCopies())));

    // The restore: no copy saved, and a copy planted beside the store that would land above the product.
    EXPECT_EQ(Run(L"old.txt", true), 100);
    EXPECT_TRUE(log.Has(LevelError, L"RollbackAction: Backup of file doesn't exists"));
    fs::create_directories(test::PathOf(layout.SavedCopies()));
    test::WriteTextFile((data / "planted.txt").wstring(), "planted");
    EXPECT_EQ(Run(L"..\\planted.txt", true), 103);
    EXPECT_TRUE(log.Has(LevelError, L"RollbackAction: File path does not name a file inside the backup "
                                    L"folder; refused. (filePath: ..\\planted.txt)"));
    EXPECT_FALSE(fs::exists(dir.FsPath() / "planted.txt"));
}

TEST_F(DeleteFileActionTest, RollbackRestoresTheCheckedCopyOnly) {
    if (const char* reason = test::FileDaclSkipReason()) {
        GTEST_SKIP() << reason;
    }
    ASSERT_EQ(Run(L"bin\\old.dll"), 0) << log.Dump();
    ASSERT_EQ(Run(L"old.txt"), 0) << log.Dump();
    // One file is back under its name by now: the copy goes over it.
    test::WriteTextFile((product / "bin" / "old.dll").wstring(), "new library");
    EXPECT_EQ(Run(L"bin\\old.dll", true), 0) << log.Dump();
    EXPECT_EQ(Run(L"old.txt", true), 0) << log.Dump();
    EXPECT_EQ(test::ReadTextFile((product / "bin" / "old.dll").wstring()), "old library");
    EXPECT_EQ(test::ReadTextFile((product / "old.txt").wstring()), "old text");
    EXPECT_TRUE(log.Has(LevelInfo, L"RollbackAction: File rollbacked (filePath: bin\\old.dll)"));
    EXPECT_TRUE(fs::exists(Saved(L"bin" + kSep + L"old.dll")));

    // The same two entries in the other order, on the copy and then on a folder on its way.
    Permissions reversed;
    reversed.AddAllowedAce(CSid::Users(), AccessMask::kFileReadAndExecute);
    reversed.AddAllowedAce(CSid::Administrators(), AccessMask::kFileAllAccess);
    const std::wstring copy = Saved(L"bin" + kSep + L"old.dll");
    reversed.SavePermissionsToFile(copy);
    fs::remove(product / "bin" / "old.dll");
    EXPECT_EQ(Run(L"bin\\old.dll", true), 153);
    EXPECT_TRUE(log.Has(LevelError, L"RollbackAction: Permissions of backup file doesn't equals to expected "
                                    L"permissions. Hack attempt? (filename: " +
                                        copy + L")"))
        << log.Dump();
    BuildBackupPermissions().SavePermissionsToFile(copy);
    reversed.SavePermissionsToFile(Saved(L"bin"));
    EXPECT_EQ(Run(L"bin\\old.dll", true), 153);
    EXPECT_TRUE(log.Has(LevelError, L"RollbackAction: Folder of backup file is not protected as expected. "
                                    L"Hack attempt? (dirname: " +
                                        Saved(L"bin") + kSep + L")"))
        << log.Dump();
    EXPECT_FALSE(fs::exists(product / "bin" / "old.dll"));
}

} // namespace
} // namespace ZEPMaintenance
