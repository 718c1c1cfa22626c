// Linux side of the backup's protection in the engine: a saved copy changed by chmod, chown, setfacl,
// replacement or a rewrite is never restored, links planted for the data folder's backup folders are
// neither written through nor read, and a clean-up that cannot delete raises its code.
#include "app/Maintenance.h"
#include "diag/MessageTable.h"
#include "support/CapturedLog.h"
#include "support/EngineSupport.h"
#include "support/ErrorCodeOf.h"
#include "support/MachineRoot.h"
#include "support/SystemSupport.h"
#include "support/posix/AsNobody.h"
#include "system/Permissions.h"
#include "system/Text.h"
#include "system/WinRegistryKey.h"
#include "upgrade/Action.h"
#include "upgrade/Rollback.h"

#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace ZEPMaintenance {
namespace {

using test::CapturedLog;
using test::CodeOf;
using test::kNobody;
namespace fs = std::filesystem;

int Shell(const std::string& command) {
    const int status = std::system((command + " >/dev/null 2>&1").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class RollbackTamperTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0) {
            GTEST_SKIP() << "needs root: chown and trusted.* attributes";
        }
        fs::create_directories(product / "bin");
        fs::create_directories(data);
        fs::create_directories(elsewhere);
        test::WriteTextFile((product / "a.dll").wstring(), "alpha");
        test::WriteTextFile((product / "bin" / "old.dll").wstring(), "old library");
        worker.layout = test::LayoutOf(product.wstring() + L"/", data.wstring() + L"/");
        worker.environmentSet = true;
        worker.lang = English;
        worker.guiMessagePause = [](uint32_t) {};
    }

    int32_t Run() {
        DeleteFileAction action(L"bin\\old.dll");
        std::vector<std::wstring> deletes;
        ActionContext context{worker.layout, deletes};
        action.SetContext(&context);
        return CodeOf([&] { action.RunAction(); });
    }
    int32_t Rollback() {
        DeleteFileAction action(L"bin\\old.dll");
        std::vector<std::wstring> deletes;
        ActionContext context{worker.layout, deletes};
        action.SetContext(&context);
        return CodeOf([&] { action.RollbackAction(); });
    }

    CapturedLog log;
    test::ScopedMachineRoot machine;
    const fs::path product = fs::path(machine.Path()) / "P";
    const fs::path data = fs::path(machine.Path()) / "D";
    const fs::path elsewhere = fs::path(machine.Path()) / "elsewhere";
    const fs::path backup =
        test::PathOf(test::LayoutOf(product.wstring() + L"/", data.wstring() + L"/").Backup());
    const fs::path store =
        test::PathOf(test::LayoutOf(product.wstring() + L"/", data.wstring() + L"/").SavedCopies());
    const fs::path saved = store / "bin" / "old.dll";
    Maintenance worker;
};

TEST_F(RollbackTamperTest, ASavedCopyChangedByAnyMeansIsNeverRestored) {
    const std::string copy = saved.string();
    const struct {
        const char* what;
        std::string command;
    } tampering[] = {
        {"chmod", "chmod 0775 '" + copy + "'"},
        {"chown", "chown nobody '" + copy + "'"},
        {"setfacl", "setfacl -m u:nobody:rw '" + copy + "'"},
        {"replaced", "cp -a '" + copy + "' '" + copy + ".new' && mv -f '" + copy + ".new' '" + copy + "'"},
        {"rewritten", "printf 'planted' > '" + copy + "'"},
    };
    for (const auto& [what, command] : tampering) {
        test::WriteTextFile((product / "bin" / "old.dll").wstring(), "old library");
        ASSERT_EQ(Run(), 0) << log.Dump();
        ASSERT_EQ(Shell(command), 0) << what;
        fs::remove(product / "bin" / "old.dll");
        log.Clear();
        EXPECT_EQ(Rollback(), 153) << what;
        EXPECT_TRUE(
            log.Has(LevelError, L"RollbackAction: Permissions of backup file doesn't equals to expected "
                                L"permissions. Hack attempt? (filename: " +
                                    saved.wstring() + L")"))
            << what << log.Dump();
        EXPECT_FALSE(fs::exists(product / "bin" / "old.dll")) << what;
    }
}

TEST_F(RollbackTamperTest, AnOwnerChangedWithTheDaclKeptIsRefusedByTheOwnerCheck) {
    ASSERT_EQ(Run(), 0) << log.Dump();
    // The program's own owner change keeps the sealed DACL valid: only the owner check can see it.
    Permissions::SetFileOwner(saved.wstring(), SidFromString(L"S-1-22-1-65534"));
    EXPECT_EQ(Rollback(), 153);
    EXPECT_TRUE(
        log.Has(LevelError, L"RollbackAction: Owner of backup file is not BA. Hack attempt? (filename: " +
                                saved.wstring() + L")"))
        << log.Dump();
    EXPECT_FALSE(fs::exists(product / "bin" / "old.dll"));
}

TEST_F(RollbackTamperTest, FoldersReplacedByLinksAreNeitherWrittenThroughNorRead) {
    // Root's own place, where only root could plant these: the engine still follows no link there.
    upgrade::PrepareState(worker.layout, Logger(L"Maintenance"));
    // Planted before the action: nothing is saved through it, and the product file stays.
    fs::create_directory_symlink(elsewhere, store);
    EXPECT_EQ(Run(), 134);
    EXPECT_TRUE(fs::is_empty(elsewhere));
    EXPECT_EQ(test::ReadTextFile((product / "bin" / "old.dll").wstring()), "old library");

    // Planted after it, even pointing at the genuine store: the restore does not follow it.
    fs::remove(store);
    ASSERT_EQ(Run(), 0) << log.Dump();
    fs::rename(store, elsewhere / "store");
    fs::create_directory_symlink(elsewhere / "store", store);
    log.Clear();
    EXPECT_EQ(Rollback(), 100);
    EXPECT_TRUE(log.Has(LevelError, L"RollbackAction: Backup of file doesn't exists")) << log.Dump();
    EXPECT_FALSE(fs::exists(product / "bin" / "old.dll"));

    // The same for the backup: nothing copied through the link, no rollback scheduled.
    fs::create_directory_symlink(elsewhere, backup);
    EXPECT_EQ(CodeOf([&] { worker.PrepareRollback(); }), 134);
    EXPECT_EQ(std::distance(fs::directory_iterator(elsewhere), fs::directory_iterator()), 1);
    WinRegistryKey key;
    if (key.KeyExists(WinRegistryKey::LocalMachine, kRunOnceKey)) {
        key.Open(WinRegistryKey::LocalMachine, kRunOnceKey, false);
        EXPECT_FALSE(key.ValueExists(RollbackValueName(worker.GetServiceName())));
    }
}

std::wstring gProductFolder;
std::wstring gDataFolder;

int CleanupAsNobody() {
    Maintenance worker;
    worker.environmentSet = true;
    worker.layout = test::LayoutOf(gProductFolder, gDataFolder);
    try {
        // The backups' half of the clean-up: the other half writes the settings store, which only root may.
        worker.RemoveBackups();
    } catch (const IMException& e) {
        return e.GetErrorNumber() == 133 ? 0 : 1;
    }
    return 2;
}

TEST_F(RollbackTamperTest, ACleanupThatCannotDeleteRaises133) {
    worker.PrepareRollback();
    // Whoever can see the backup folder but not delete it gets a failure, not a folder taken as gone.
    ASSERT_EQ(chmod(fs::path(machine.Path()).c_str(), 0755), 0);
    ASSERT_EQ(chmod(data.c_str(), 0755), 0);
    gProductFolder = product.wstring() + L"/";
    gDataFolder = data.wstring() + L"/";
    EXPECT_EQ(test::AsNobody(CleanupAsNobody), 0);
    EXPECT_TRUE(fs::exists(backup / "a.dll"));
    worker.CleanupRollback();
    EXPECT_FALSE(fs::exists(backup));
}

} // namespace
} // namespace ZEPMaintenance
