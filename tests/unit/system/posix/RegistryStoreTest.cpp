// Linux side of the registry: the settings store's file, its transactions and stored key security.
#include "system/posix/RegistryStore.h"

#include "diag/IMException.h"
#include "support/MachineRoot.h"
#include "support/posix/AsNobody.h"
#include "system/Permissions.h"
#include "system/WinError.h"
#include "system/WinRegistryKey.h"
#include "system/posix/PosixSupport.h"

#include <csignal>
#include <filesystem>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace ZEPMaintenance {
namespace {

using posix::RegistryStore;

using test::AsNobody;
using test::kNobody;

// The store of the test's machine root.
std::shared_ptr<RegistryStore> OpenStore() {
    uint32_t error = 0;
    std::shared_ptr<RegistryStore> store = RegistryStore::ForMachineRoot(error);
    EXPECT_TRUE(store) << "error " << error;
    return store;
}

int64_t HiveOf(RegistryStore& store, RegistryStore::Hive hive) {
    int64_t id = 0;
    EXPECT_EQ(store.HiveKey(hive, id), WinError::kSuccess);
    return id;
}

// One statement's first column, straight from SQLite.
std::string QueryText(const std::string& path, const char* sql) {
    sqlite3* db = nullptr;
    std::string text;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) == SQLITE_OK &&
            sqlite3_step(statement) == SQLITE_ROW && sqlite3_column_text(statement, 0) != nullptr) {
            text = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
        }
        sqlite3_finalize(statement);
    }
    sqlite3_close(db);
    return text;
}

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
    const std::shared_ptr<RegistryStore> store = OpenStore();
    ASSERT_TRUE(store);
    const int64_t root = HiveOf(*store, RegistryStore::Hive::LocalMachine);
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

    const std::shared_ptr<RegistryStore> store = OpenStore();
    ASSERT_TRUE(store);
    const int64_t users = HiveOf(*store, RegistryStore::Hive::Users);
    int64_t id = 0;
    std::vector<uint8_t> security;
    ASSERT_EQ(store->OpenKey(users, L"S-1-22-1-1000\\software\\protected", id), WinError::kSuccess);
    ASSERT_EQ(store->KeySecurity(id, security), WinError::kSuccess);
    EXPECT_EQ(security, permissions.GetDacl().ToAclBytes());
    ASSERT_EQ(store->OpenKey(users, L"S-1-22-1-1000\\Software\\Plain", id), WinError::kSuccess);
    ASSERT_EQ(store->KeySecurity(id, security), WinError::kSuccess);
    EXPECT_TRUE(security.empty());
}

TEST(RegistryStoreTest, OtherUsersReadAStoreRootCreatedUnderARestrictiveUmask) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to write the store and to become another user";
    }
    test::ScopedMachineRoot machine;
    ASSERT_EQ(chmod(posix::MachineRoot().c_str(), 0755), 0);
    const mode_t saved = umask(077);
    {
        WinRegistryKey key;
        key.CreateKey(WinRegistryKey::LocalMachine, L"software\\shared");
        key.SetStringValue(L"name", L"seen by all");
    }
    umask(saved);
    EXPECT_EQ(AsNobody([] {
                  WinRegistryKey key;
                  key.Open(WinRegistryKey::LocalMachine, L"SOFTWARE\\Shared", false);
                  return key.GetStringValue(L"NAME") == L"seen by all" ? 0 : 1;
              }),
              0);

    // A store that cannot be reached is an error, not an empty registry.
    const std::string folder = std::filesystem::path(RegistryStore::DatabasePath()).parent_path();
    ASSERT_EQ(chmod(folder.c_str(), 0700), 0);
    EXPECT_EQ(AsNobody([] {
                  platform::RegistryKeyHandle root;
                  return static_cast<int>(platform::OpenRegistryRoot(platform::PredefinedKey::LocalMachine,
                                                                     platform::kKeyRead, root));
              }),
              static_cast<int>(WinError::kAccessDenied));
}

TEST(RegistryStoreTest, NamesThatCannotBeStoredAreRefused) {
    test::ScopedMachineRoot machine;
    const std::shared_ptr<RegistryStore> store = OpenStore();
    ASSERT_TRUE(store);
    const int64_t root = HiveOf(*store, RegistryStore::Hive::LocalMachine);
    int64_t id = 0;
    bool created = false;
    const std::wstring lone(1, static_cast<wchar_t>(0xD800));
    EXPECT_EQ(store->CreateKey(root, L"software\\bad" + lone, nullptr, id, created),
              WinError::kInvalidParameter);
    EXPECT_EQ(store->OpenKey(root, L"software", id), WinError::kFileNotFound);
    ASSERT_EQ(store->CreateKey(root, L"software", nullptr, id, created), WinError::kSuccess);
    const uint8_t data[] = {1, 0};
    EXPECT_EQ(store->SetValue(id, L"v" + lone, platform::kRegSz, data, 2), WinError::kInvalidParameter);
    std::vector<posix::RegistryValue> values;
    ASSERT_EQ(store->ListValues(id, values), WinError::kSuccess);
    EXPECT_TRUE(values.empty());
}

TEST(RegistryStoreTest, UserHivesAreRootsThatStay) {
    test::ScopedMachineRoot machine;
    WinRegistryKey key;
    key.CreateKey(CSid(22, {1, 1000}), L"Software");
    key.DeleteKey(CSid(22, {1, 1000}), L"Software");
    const std::shared_ptr<RegistryStore> store = OpenStore();
    ASSERT_TRUE(store);
    const int64_t users = HiveOf(*store, RegistryStore::Hive::Users);
    EXPECT_EQ(store->DeleteKey(users, L"s-1-22-1-1000"), WinError::kAccessDenied);
    EXPECT_EQ(store->DeleteTree(users, L"S-1-22-1-1000\\"), WinError::kAccessDenied);
    int64_t id = 0;
    EXPECT_EQ(store->OpenKey(users, L"S-1-22-1-1000", id), WinError::kSuccess);

    // Looking a hive up without creating it leaves the store as it was.
    EXPECT_EQ(store->UserHiveKey(L"S-1-22-1-4242", id, false), WinError::kSuccess);
    EXPECT_EQ(id, RegistryStore::kNoKey);
    EXPECT_EQ(store->OpenKey(users, L"S-1-22-1-4242", id), WinError::kFileNotFound);
}

TEST(RegistryStoreTest, KeyIdsOfDeletedKeysAreNeverReused) {
    test::ScopedMachineRoot machine;
    std::shared_ptr<RegistryStore> store = OpenStore();
    ASSERT_TRUE(store);
    const int64_t root = HiveOf(*store, RegistryStore::Hive::LocalMachine);
    int64_t first = 0;
    int64_t second = 0;
    bool created = false;
    ASSERT_EQ(store->CreateKey(root, L"a", nullptr, first, created), WinError::kSuccess);
    ASSERT_EQ(store->DeleteKey(root, L"a"), WinError::kSuccess);
    ASSERT_EQ(store->CreateKey(root, L"b", nullptr, second, created), WinError::kSuccess);
    EXPECT_NE(first, second);
    EXPECT_EQ(store->SetValue(first, L"x", platform::kRegNone, nullptr, 0), WinError::kKeyDeleted);
}

TEST(RegistryStoreTest, AnEarlierStoreIsUpgradedWithItsKeys) {
    test::ScopedMachineRoot machine;
    const std::string path = RegistryStore::DatabasePath();
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(
        sqlite3_exec(db,
                     "CREATE TABLE keys(id INTEGER PRIMARY KEY, parent INTEGER REFERENCES keys(id), "
                     "name TEXT NOT NULL, folded TEXT NOT NULL, security BLOB);"
                     "CREATE UNIQUE INDEX keys_by_name ON keys(parent, folded);"
                     "CREATE TABLE key_values(key INTEGER NOT NULL REFERENCES keys(id), name TEXT NOT NULL, "
                     "folded TEXT NOT NULL, type INTEGER NOT NULL, data BLOB NOT NULL, "
                     "PRIMARY KEY(key, folded)) WITHOUT ROWID;"
                     "INSERT INTO keys VALUES(1, NULL, 'HKEY_LOCAL_MACHINE', 'HKEY_LOCAL_MACHINE', NULL);"
                     "INSERT INTO keys VALUES(2, NULL, 'HKEY_USERS', 'HKEY_USERS', NULL);"
                     "INSERT INTO keys VALUES(3, 1, 'Kept', 'KEPT', NULL);"
                     "INSERT INTO key_values VALUES(3, 'v', 'V', 4, x'2a000000');"
                     "PRAGMA user_version = 1;",
                     nullptr, nullptr, nullptr),
        SQLITE_OK);
    sqlite3_close(db);

    WinRegistryKey key;
    key.Open(WinRegistryKey::LocalMachine, L"kept", false);
    EXPECT_EQ(QueryText(path, "SELECT hex(data) FROM key_values WHERE folded = 'V'"), "2A000000");
    key.CreateKey(WinRegistryKey::LocalMachine, L"kept\\new");
    EXPECT_NE(QueryText(path, "SELECT sql FROM sqlite_master WHERE name = 'keys'").find("AUTOINCREMENT"),
              std::string::npos);
    EXPECT_EQ(QueryText(path, "PRAGMA user_version"), "2");
    EXPECT_EQ(QueryText(path, "SELECT count(*) FROM sqlite_master WHERE name = 'keys_by_name'"), "1");
}

TEST(RegistryStoreTest, AWriterKilledInItsTransactionChangesNothing) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to roll an interrupted change back";
    }
    test::ScopedMachineRoot machine;
    const std::string path = RegistryStore::DatabasePath();
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    // The writer is a process of its own that this process never opened the store in.
    const pid_t writer = fork();
    if (writer == 0) {
        close(ready[0]);
        {
            WinRegistryKey key;
            key.CreateKey(WinRegistryKey::LocalMachine, L"software\\steady");
            key.SetStringValue(L"value", L"before");
        }
        sqlite3* db = nullptr;
        // A tiny page cache makes the change reach the database file before the commit.
        if (sqlite3_open(path.c_str(), &db) != SQLITE_OK ||
            sqlite3_exec(db,
                         "PRAGMA cache_size = 2; BEGIN IMMEDIATE;"
                         "UPDATE key_values SET data = randomblob(400000);"
                         "INSERT INTO keys(parent, name, folded) VALUES(1, 'half', 'HALF');",
                         nullptr, nullptr, nullptr) != SQLITE_OK) {
            _exit(1);
        }
        if (write(ready[1], "x", 1) != 1) {
            _exit(1);
        }
        pause();
        _exit(0);
    }
    close(ready[1]);
    char byte = 0;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    close(ready[0]);
    kill(writer, SIGKILL);
    waitpid(writer, nullptr, 0);
    struct stat info {};
    ASSERT_EQ(stat((path + "-journal").c_str(), &info), 0) << "the writer left no journal behind";

    WinRegistryKey key;
    key.Open(WinRegistryKey::LocalMachine, L"software\\steady", false);
    EXPECT_EQ(key.GetStringValue(L"value"), L"before");
    EXPECT_FALSE(key.KeyExists(WinRegistryKey::LocalMachine, L"half"));
    EXPECT_EQ(QueryText(path, "PRAGMA integrity_check"), "ok");
}

} // namespace
} // namespace ZEPMaintenance
