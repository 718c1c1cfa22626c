// Linux side of the registry: the settings store's file, its transactions and stored key security.
#include "system/posix/RegistryStore.h"

#include "diag/IMException.h"
#include "support/MachineRoot.h"
#include "system/Permissions.h"
#include "system/WinError.h"
#include "system/WinRegistryKey.h"
#include "system/posix/PosixSupport.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

namespace ZEPMaintenance {
namespace {

using posix::RegistryStore;

TEST(RegistryStoreTest, OneFileReadableByAllWithARollbackJournal) {
    test::ScopedMachineRoot machine;
    WinRegistryKey key;
    key.CreateKey(WinRegistryKey::LocalMachine, L"software\\A");
    const std::string path = RegistryStore::DatabasePath();
    EXPECT_EQ(path, posix::UnderMachineRoot("var/lib/zepmaintenance/registry.db"));
    struct stat info {};
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0644u);

    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    sqlite3_stmt* statement = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "PRAGMA journal_mode", -1, &statement, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_step(statement), SQLITE_ROW);
    EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(statement, 0)), "delete");
    sqlite3_finalize(statement);
    sqlite3_close(db);
}

TEST(RegistryStoreTest, AFailedCreationLeavesNothingBehind) {
    test::ScopedMachineRoot machine;
    uint32_t error = 0;
    const std::shared_ptr<RegistryStore> store = RegistryStore::ForMachineRoot(error);
    ASSERT_TRUE(store);
    int64_t root = 0;
    store->HiveKey(RegistryStore::Hive::LocalMachine, root);
    int64_t id = 0;
    bool created = false;
    // The last name is too long: the keys before it must not stay either.
    const std::wstring path = L"software\\first\\second\\" + std::wstring(256, L'x');
    EXPECT_EQ(store->CreateKey(root, path, nullptr, id, created), WinError::kInvalidParameter);
    EXPECT_EQ(store->OpenKey(root, L"software", id), WinError::kFileNotFound);
    EXPECT_EQ(store->CreateKey(root, L"software\\\\double", nullptr, id, created), 161u);
    EXPECT_EQ(store->CreateKey(root, L"software\\trailing\\", nullptr, id, created), WinError::kSuccess);
    EXPECT_TRUE(created);
}

TEST(RegistryStoreTest, KeysCreatedWithPermissionsKeepTheirDacl) {
    test::ScopedMachineRoot machine;
    Permissions permissions;
    permissions.AddAllowedAce(CSid::Administrators(), 0xF003F);
    permissions.AddAllowedAce(CSid::Users(), 0x20019);
    const CSid user(22, {1, 1000});
    WinRegistryKey key;
    key.CreateKey(user, L"Software\\Protected", &permissions);
    key.CreateKey(user, L"Software\\Plain");

    uint32_t error = 0;
    const std::shared_ptr<RegistryStore> store = RegistryStore::ForMachineRoot(error);
    int64_t users = 0;
    int64_t id = 0;
    store->HiveKey(RegistryStore::Hive::Users, users);
    std::vector<uint8_t> security;
    ASSERT_EQ(store->OpenKey(users, L"S-1-22-1-1000\\software\\protected", id), WinError::kSuccess);
    ASSERT_EQ(store->KeySecurity(id, security), WinError::kSuccess);
    EXPECT_EQ(security, permissions.GetDacl().ToAclBytes());
    ASSERT_EQ(store->OpenKey(users, L"S-1-22-1-1000\\Software\\Plain", id), WinError::kSuccess);
    ASSERT_EQ(store->KeySecurity(id, security), WinError::kSuccess);
    EXPECT_TRUE(security.empty());
}

} // namespace
} // namespace ZEPMaintenance
