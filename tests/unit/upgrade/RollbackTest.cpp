// The protected backup with its scheduled rollback, the restore from it and the clean-up: the backup's
// content and permissions, the run-once value and how its command splits, the GUI texts of the restore,
// a tampered or broken backup, and a clean-up that finds nothing left to do.
#include "upgrade/Rollback.h"

#include "app/ArgumentMap.h"
#include "app/Maintenance.h"
#include "diag/MessageTable.h"
#include "ipc/PipeServer.h"
#include "support/CapturedLog.h"
#include "support/EngineSupport.h"
#include "support/ErrorCodeOf.h"
#include "support/SystemSupport.h"
#include "system/Permissions.h"
#include "system/Text.h"
#include "system/WinRegistryKey.h"
#include "unit/ipc/PipeTestSupport.h"
#include "upgrade/Action.h"
#include "upgrade/BackupPermissions.h"
#include "upgrade/ConfigFile.h"

#include <filesystem>
#include <functional>
#include <gtest/gtest.h>

namespace ZEPMaintenance {
namespace {

using test::CapturedLog;
using test::CodeOf;
namespace fs = std::filesystem;

const std::wstring kSep(1, platform::kPathSeparator);
constexpr const wchar_t* kProductValue = L"Z.EP Maintenance Service2 - Rollback";

bool RunOnceHas(const std::wstring& valueName) {
    WinRegistryKey key;
    if (!key.KeyExists(WinRegistryKey::LocalMachine, kRunOnceKey)) {
        return false;
    }
    key.Open(WinRegistryKey::LocalMachine, kRunOnceKey, false);
    return key.ValueExists(valueName);
}

std::wstring RunOnceValue(const std::wstring& valueName) {
    WinRegistryKey key;
    key.Open(WinRegistryKey::LocalMachine, kRunOnceKey, false);
    return key.GetStringValue(valueName);
}

// What a logon does with the value: the program split off as Windows does, the rest by the grammar.
ArgumentMap SplitScheduled(const std::wstring& command, std::wstring& program) {
    std::wstring tail;
    SplitProgramName(command, program, tail);
    ArgumentMap arguments;
    SplitCommandLine(tail.c_str(), arguments);
    return arguments;
}

ArgumentMap RollbackOptions(const std::wstring& programFolder, const std::wstring& dataFolder,
                            const std::wstring& lang) {
    return ArgumentMap{{L"-dp", dataFolder},
                       {L"-lang", lang},
                       {L"-mode", L"loader"},
                       {L"-op", L"rollback"},
                       {L"-pp", programFolder}};
}

class RollbackTest : public ::testing::Test {
protected:
    void SetUp() override {
        RemoveFolders();
        fs::create_directories(product / "sub" / "deeper");
        fs::create_directories(product / "bin");
        fs::create_directories(product / "empty");
        fs::create_directories(data);
        test::WriteTextFile((product / "a.dll").wstring(), "alpha");
        test::WriteTextFile((product / "old.txt").wstring(), "old text");
        test::WriteTextFile((product / "bin" / "old.dll").wstring(), "old library");
        test::WriteTextFile((product / "sub" / "c.txt").wstring(), "charlie");
        test::WriteTextFile((product / "sub" / "deeper" / "d.txt").wstring(), "delta");
        worker.layout = test::LayoutOf(productPath, dataPath);
        worker.environmentSet = true;
        worker.environment = static_cast<int32_t>(EnvironmentKind::Product);
        worker.lang = English;
        // Each pause sees what the loader has received by then.
        worker.guiMessagePause = [this](uint32_t) {
            PipeMessage message;
            if (loader.GetMode() != 0 && test::NextMessage(loader, message)) {
                received.push_back(message);
            }
        };
    }

    void TearDown() override {
        // Windows tests work on the machine itself: nothing is left behind there.
        for (const wchar_t* name : {kProductValue, L"Z.EP Maintenance Service2 (test) - Rollback"}) {
            if (RunOnceHas(name)) {
                WinRegistryKey key;
                key.Open(WinRegistryKey::LocalMachine, kRunOnceKey, true);
                key.DeleteValue(name);
            }
        }
        RemoveFolders();
    }

    void RemoveFolders() {
        std::error_code ignored;
        fs::remove_all(product, ignored);
        fs::remove_all(data, ignored);
        fs::remove_all(backup.parent_path().parent_path(), ignored);
    }

    void ConnectGui() {
        loader.Create(pipeName, ReadMode);
        worker.guiPipe.Connect(pipeName, WriteMode);
        loader.Bind();
    }

    void PlaceContainer(const wchar_t* fixture) {
        fs::create_directories(data / "update");
        fs::copy_file(fs::path(test::UpgradeFixture(fixture)), data / "update" / "zep_upgrade.xml.zcf");
    }

    // The update's first steps as the host update takes them: the backup, then the manifest's actions.
    void BackUpAndRunActions() {
        worker.PrepareRollback();
        ConfigFile manifest;
        ASSERT_TRUE(manifest.LoadZCFFile(dataPath + L"update" + kSep + L"zep_upgrade.xml.zcf"));
        ActionContext context{worker.layout, deletes};
        for (const auto& action : manifest.GetPreUpgradeActions()) {
            action->SetContext(&context);
            action->RunAction();
        }
    }

    std::wstring Text(int32_t id) const { return GuiTextTable().Lookup(id, English); }

    CapturedLog log;
    test::ScopedMachineRoot machine;
    const fs::path product = fs::path(machine.Path()) / "P";
    const fs::path data = fs::path(machine.Path()) / "D";
    const std::wstring productPath = product.wstring() + kSep;
    const std::wstring dataPath = data.wstring() + kSep;
    // Root's own places for the product environment.
    const fs::path backup = test::PathOf(test::LayoutOf(productPath, dataPath).Backup());
    const fs::path saved = test::PathOf(test::LayoutOf(productPath, dataPath).SavedCopies());
    const std::wstring backupPath = backup.wstring() + kSep;
    const std::wstring pipeName = test::FreshPipeName();
    PipeServer loader;
    Maintenance worker;
    std::vector<std::wstring> deletes;
    std::vector<PipeMessage> received;
};

TEST_F(RollbackTest, PrepareReplacesAStaleBackupAndSchedulesTheRollback) {
    fs::create_directories(backup / "gone");
    fs::create_directories(saved);
    test::WriteTextFile((backup / "stale.txt").wstring(), "stale");
    worker.lang = Slovak;
    worker.PrepareRollback();

    EXPECT_EQ(test::ReadTextFile((backup / "a.dll").wstring()), "alpha");
    EXPECT_EQ(test::ReadTextFile((backup / "sub" / "deeper" / "d.txt").wstring()), "delta");
    EXPECT_TRUE(fs::is_directory(backup / "empty"));
    EXPECT_FALSE(fs::exists(backup / "stale.txt"));
    EXPECT_FALSE(fs::exists(backup / "gone"));
    EXPECT_FALSE(fs::exists(saved));

    // For C:\P\ and C:\D\ (the machine root's P and D on Linux) with language 1.
    const std::wstring value = RunOnceValue(kProductValue);
    EXPECT_EQ(value, GetModuleFilename() + L" -mode loader -op rollback -pp \"" + productPath + L"\" -dp \"" +
                         dataPath + L"\" -lang 1");

    if (test::FileDaclSkipReason() == nullptr) {
        const Permissions backupSet = BuildBackupPermissions();
        const std::wstring backup = backupPath;
        for (const std::wstring& item :
             {backup, backup + L"a.dll", backup + L"sub",
              backup + L"sub" + kSep + L"deeper" + kSep + L"d.txt", backup + L"empty"}) {
            EXPECT_EQ(CheckBackupItem(item, backupSet), BackupItemState::Protected) << log.Dump();
        }
    }
}

TEST_F(RollbackTest, TheCommandSplitsBackIntoExactlyTheRollbacksOptions) {
    const std::wstring programs[] = {L"C:\\Program Files\\ZEP\\ZEPMaintenance.exe",
                                     L"/opt/zep tools/zepmaintenance", L"C:\\ZEP\\ZEPMaintenance.exe"};
    const std::wstring folders[][2] = {
        {L"C:\\Program Files\\ZEP Client\\", L"C:\\ProgramData\\ZEP\\data dir\\"},
        {L"/opt/zep client/", L"/var/lib/zep  two blanks/"},
        {L"C:\\P\\", L"C:\\D\\"}};
    for (const std::wstring& programPath : programs) {
        for (const auto& [programFolder, dataFolder] : folders) {
            const std::wstring command = BuildRollbackCommand(programPath, programFolder, dataFolder, 2);
            std::wstring program;
            EXPECT_EQ(SplitScheduled(command, program), RollbackOptions(programFolder, dataFolder, L"2"))
                << testing::PrintToString(command);
            EXPECT_EQ(program, programPath);
        }
    }
    // Only a program with blanks is quoted.
    EXPECT_EQ(BuildRollbackCommand(L"C:\\Z E P\\Z.exe", L"C:\\P\\", L"C:\\D\\", 0).substr(0, 17),
              L"\"C:\\Z E P\\Z.exe\" ");
    // A language outside the table gets the digit of the column it reads: an option without a value
    // would fail the loader's check, and the rollback would never run.
    for (const auto& [language, digit] : {std::pair{7, L"2"}, std::pair{-1, L"0"}}) {
        std::wstring program;
        EXPECT_EQ(SplitScheduled(BuildRollbackCommand(L"Z.exe", L"C:\\P\\", L"C:\\D\\", language), program),
                  RollbackOptions(L"C:\\P\\", L"C:\\D\\", digit));
    }
}

TEST_F(RollbackTest, FoldersTheEngineCannotUseChangeNothing) {
    fs::create_directories(backup);
    test::WriteTextFile((backup / "previous.txt").wstring(), "previous");
    worker.layout = test::LayoutOf(machine.Path() + L"P\"x" + kSep, dataPath);
    EXPECT_EQ(CodeOf([&] { worker.PrepareRollback(); }), 100);
    EXPECT_TRUE(
        log.Has(LevelError, L"PrepareRollback: The rollback command cannot carry a double quote. (path: " +
                                machine.Path() + L"P\"x" + kSep + L")"))
        << log.Dump();
    EXPECT_TRUE(fs::exists(backup / "previous.txt"));

    // An empty -dp names the file system's root.
    worker.layout = test::LayoutOf(productPath, L"");
    const std::pair<const wchar_t*, std::function<void()>> operations[] = {
        {L"PrepareRollback", [&] { worker.PrepareRollback(); }},
        {L"RunRollback", [&] { worker.RunRollback(); }},
        {L"CleanupRollback", [&] { worker.CleanupRollback(); }},
        {L"RunAction",
         [&] {
             DeleteFileAction action(L"old.txt");
             std::vector<std::wstring> deletes;
             ActionContext context{worker.layout, deletes};
             action.SetContext(&context);
             action.RunAction();
         }},
    };
    for (const auto& [name, operation] : operations) {
        EXPECT_EQ(CodeOf(operation), 100) << name;
        EXPECT_TRUE(log.Has(LevelError, std::wstring(name) +
                                            L": Product or data folder not set. (programDirectory: " +
                                            productPath + L", dataDirectory: " + kSep + L")"))
            << log.Dump();
    }
    EXPECT_TRUE(fs::exists(product / "old.txt"));
    EXPECT_FALSE(RunOnceHas(kProductValue));
}

TEST_F(RollbackTest, CleanupRemovesItsOwnValueAndFindingNothingLeftSucceeds) {
    worker.CleanupRollback();
    worker.environment = static_cast<int32_t>(EnvironmentKind::Test);
    worker.PrepareRollback();
    // Each environment has places of its own.
    const EngineLayout test = test::LayoutOf(productPath, dataPath).WithEnvironment(L"test");
    fs::create_directories(test::PathOf(test.SavedCopies()));
    EXPECT_TRUE(fs::exists(test::PathOf(test.Backup())));
    EXPECT_FALSE(fs::exists(backup));
    EXPECT_TRUE(RunOnceHas(L"Z.EP Maintenance Service2 (test) - Rollback"));
    EXPECT_FALSE(RunOnceHas(kProductValue));
    worker.CleanupRollback();
    EXPECT_FALSE(fs::exists(test::PathOf(test.Backup())));
    EXPECT_FALSE(fs::exists(test::PathOf(test.SavedCopies())));
    EXPECT_FALSE(RunOnceHas(L"Z.EP Maintenance Service2 (test) - Rollback"));
    if (test::RunningUnderWine()) {
        log.Clear(); // no DACLs there: root's place is set aside, with its check's error lines, at each run
    }
    worker.CleanupRollback();
    for (const test::CapturedLine& line : log.Lines()) {
        EXPECT_GT(line.level, LevelError) << log.Dump();
    }
}

class RestoreTest : public RollbackTest {
protected:
    void SetUp() override {
        if (const char* reason = test::FileDaclSkipReason()) {
            GTEST_SKIP() << reason;
        }
        RollbackTest::SetUp();
    }
};

TEST_F(RestoreTest, RunRestoresTheBackupUndoesTheActionsAndSendsTexts12Then7) {
    PlaceContainer(L"rollback.zcf");
    BackUpAndRunActions();
    ASSERT_FALSE(fs::exists(product / "bin" / "old.dll"));
    // The update went on: a file changed, one added, a folder removed, and the copy of the next file was
    // half written when the worker was killed.
    test::WriteTextFile((product / "a.dll").wstring(), "changed");
    test::WriteTextFile((product / "added.txt").wstring(), "added");
    test::WriteTextFile((product / "bin" / ".zep-copy-0123456789abcdef.tmp").wstring(), "half");
    test::WriteTextFile((product / ".zep-copy-of-the-user.tmp").wstring(), "not a copy");
    fs::remove_all(product / "sub");
    ConnectGui();

    worker.RunRollback();
    EXPECT_TRUE(log.Has(LevelInfo, L"RunRollback: Starting rollback"));
    EXPECT_TRUE(log.Has(LevelInfo, L"RollbackAction: File rollbacked (filePath: bin\\old.dll)"))
        << log.Dump();
    EXPECT_EQ(test::ReadTextFile((product / "a.dll").wstring()), "alpha");
    EXPECT_EQ(test::ReadTextFile((product / "old.txt").wstring()), "old text");
    EXPECT_EQ(test::ReadTextFile((product / "bin" / "old.dll").wstring()), "old library");
    EXPECT_EQ(test::ReadTextFile((product / "sub" / "deeper" / "d.txt").wstring()), "delta");
    EXPECT_EQ(test::ReadTextFile((product / "added.txt").wstring()), "added");
    EXPECT_FALSE(fs::exists(product / "bin" / ".zep-copy-0123456789abcdef.tmp"));
    EXPECT_TRUE(fs::exists(product / ".zep-copy-of-the-user.tmp"));
    EXPECT_FALSE(fs::exists(data / "update"));
    EXPECT_EQ(received, (std::vector<PipeMessage>{{0, Text(12)}, {0, Text(7)}}));

    worker.CleanupRollback();
    EXPECT_FALSE(fs::exists(backup));
    EXPECT_FALSE(fs::exists(saved));
    EXPECT_FALSE(RunOnceHas(kProductValue));
}

TEST_F(RestoreTest, ATamperedBackupStopsTheRestoreWith136AndText7IsNotSent) {
    PlaceContainer(L"manifest.zcf");
    worker.PrepareRollback();
    Permissions reversed;
    reversed.AddAllowedAce(CSid::Users(), AccessMask::kFileReadAndExecute);
    reversed.AddAllowedAce(CSid::Administrators(), AccessMask::kFileAllAccess);
    reversed.SavePermissionsToFile(backupPath + L"sub" + kSep + L"c.txt");
    ConnectGui();

    EXPECT_EQ(CodeOf([&] { worker.RunRollback(); }), 136);
    EXPECT_TRUE(
        log.Contains(L"CopyContentTo: Permissions of file doesn't equals to expected permissions. Hack "
                     L"attempt? (filename: "))
        << log.Dump();
    EXPECT_TRUE(fs::exists(data / "update"));

    // A folder that is not the program's in the backup's place is not restored from at all.
    fs::rename(backup, data / "aside");
    fs::create_directories(backup);
    test::WriteTextFile((backup / "a.dll").wstring(), "planted");
    EXPECT_EQ(CodeOf([&] { worker.RunRollback(); }), 136);
    EXPECT_TRUE(log.Has(LevelError, L"RunRollback: Backup folder is not protected as expected. Hack attempt? "
                                    L"(dirname: " +
                                        backupPath + L")"))
        << log.Dump();
    EXPECT_NE(test::ReadTextFile((product / "a.dll").wstring()), "planted");
    EXPECT_TRUE(received.empty()) << "no actions, and no restore ended";
}

TEST_F(RestoreTest, ABrokenContainerStillRestoresAndNoPipeIsNeeded) {
    PlaceContainer(L"rollback.zcf");
    BackUpAndRunActions();
    test::WriteTextFile((product / "a.dll").wstring(), "changed");
    // One byte of the signed data changed: the signature no longer verifies.
    const std::wstring container = dataPath + L"update" + kSep + L"zep_upgrade.xml.zcf";
    std::string bytes = test::ReadTextFile(container);
    bytes[bytes.size() - 20] ^= 0x01;
    test::WriteTextFile(container, bytes);

    worker.RunRollback();
    EXPECT_TRUE(log.Has(LevelError, L"RunRollback: Config file not loaded.")) << log.Dump();
    EXPECT_FALSE(log.Contains(L"RollbackAction:"));
    // The backup holds what the actions deleted.
    EXPECT_EQ(test::ReadTextFile((product / "bin" / "old.dll").wstring()), "old library");
    EXPECT_EQ(test::ReadTextFile((product / "a.dll").wstring()), "alpha");
    EXPECT_FALSE(fs::exists(data / "update"));
    // Without a loader on the pipe the texts are dropped with a warning, and the restore goes on.
    EXPECT_TRUE(log.Has(LevelWarn, L"SendWorker - WriteMode is not enabled!"));
    EXPECT_TRUE(log.Has(LevelDebug, L"WriteSynch: [msg.id: 0, msg.msg: " + Text(7) + L"]"));
    EXPECT_FALSE(log.Has(LevelDebug, L"WriteSynch: [msg.id: 0, msg.msg: " + Text(12) + L"]"));
}

} // namespace
} // namespace ZEPMaintenance
