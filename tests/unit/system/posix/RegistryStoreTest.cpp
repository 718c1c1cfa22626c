// Linux side of the registry: the settings store's key tree and files, its transactions, its snapshot that
// other users read without ever delaying root, and stored key security.
#include "system/posix/RegistryStore.h"

#include "base/WinError.h"
#include "support/MachineRoot.h"
#include "support/posix/AsNobody.h"
#include "system/Permissions.h"
#include "system/WinRegistryKey.h"
#include "system/platform/WinRegistryKeyPrimitives.h"

#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <numeric>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace ZEPMaintenance {
namespace {

using posix::RegistryStore;
using test::AsNobody;
namespace fs = std::filesystem;

// The store of the test's machine root.
std::shared_ptr<RegistryStore> OpenStore() {
    uint32_t error = 0;
    std::shared_ptr<RegistryStore> store = RegistryStore::ForMachineRoot(error);
    EXPECT_TRUE(store) << "error " << error;
    return store;
}

// One statement's first column, straight from SQLite.
std::string QueryText(const std::string& path, const char* sql) {
    sqlite3* opened = nullptr;
    const int result = sqlite3_open_v2(path.c_str(), &opened, SQLITE_OPEN_READONLY, nullptr);
    const posix::Database db(opened);
    std::string text;
    const auto firstRow = [](void* out, int, char** values, char**) {
        if (values[0] != nullptr) {
            *static_cast<std::string*>(out) = values[0];
        }
        return 1; // no further rows
    };
    if (result == SQLITE_OK) {
        sqlite3_exec(db.Get(), sql, firstRow, &text, nullptr);
    }
    return text;
}

// Runs SQL straight on a database file, as another program would.
bool ExecuteSql(const std::string& path, const char* sql) {
    sqlite3* opened = nullptr;
    const int result = sqlite3_open(path.c_str(), &opened);
    const posix::Database db(opened);
    return result == SQLITE_OK && sqlite3_exec(db.Get(), sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

// A key path of the given number of names.
std::wstring Chain(std::size_t levels, const std::wstring& name = L"k") {
    std::wstring path = name;
    for (std::size_t level = 1; level < levels; ++level) {
        path += L"\\" + name;
    }
    return path;
}

// A fresh machine with its store open.
class RegistryStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        store = OpenStore();
        ASSERT_TRUE(store);
        ASSERT_EQ(store->HiveKey(RegistryStore::Hive::LocalMachine, hklm), WinError::kSuccess);
        ASSERT_EQ(store->HiveKey(RegistryStore::Hive::Users, users), WinError::kSuccess);
    }
    // Opens or creates the key at path below parent, as id.
    uint32_t Create(int64_t parent, const std::wstring& path) {
        return store->CreateKey(parent, path, nullptr, id, created);
    }

    test::ScopedMachineRoot machine;
    std::shared_ptr<RegistryStore> store;
    int64_t hklm = 0;
    int64_t users = 0;
    int64_t id = 0;
    bool created = false;
};

// A refused path leaves none of its keys behind, not even the missing ones before the name refused.
// The registry's trees are 512 levels deep, counted from above the hives, which are at level 2.
TEST_F(RegistryStoreTest, CreationsTheRegistryRefusesLeaveNothingBehind) {
    // 127 faces beyond U+FFFF are 254 UTF-16 units.
    const std::wstring faces(127, static_cast<wchar_t>(0x1F600));
    const struct {
        const char* what;
        int64_t hive;
        std::wstring path;
        uint32_t error;
    } cases[] = {
        {"a name over 255 characters", hklm, L"long\\first\\" + std::wstring(256, L'x'),
         WinError::kInvalidParameter},
        {"a name over 255 UTF-16 units", hklm, L"units\\" + faces + faces.substr(0, 1),
         WinError::kInvalidParameter},
        {"a lone surrogate", hklm, L"lone\\bad" + std::wstring(1, static_cast<wchar_t>(0xD800)),
         WinError::kInvalidParameter},
        {"an empty name", hklm, L"empty\\\\double", WinError::kBadPathname},
        {"511 levels below HKLM", hklm, Chain(511, L"deep"), WinError::kInvalidParameter},
        {"60000 levels", hklm, Chain(60000, L"deeper"), WinError::kInvalidParameter},
        {"510 levels below a user's hive", users, L"S-1-22-1-1000\\" + Chain(510),
         WinError::kInvalidParameter},
        {"509 levels below a user's hive", users, L"S-1-22-1-1001\\" + Chain(509), WinError::kSuccess},
        {"a trailing backslash", hklm, L"trailing\\", WinError::kSuccess},
        {"a name of 255 UTF-16 units", hklm, L"fits\\" + faces + L"x", WinError::kSuccess},
    };
    for (const auto& entry : cases) {
        EXPECT_EQ(Create(entry.hive, entry.path), entry.error) << entry.what;
        EXPECT_TRUE(entry.error != WinError::kSuccess || created) << entry.what;
        int64_t first = 0;
        EXPECT_EQ(store->OpenKey(entry.hive, entry.path.substr(0, entry.path.find(L'\\')), first),
                  entry.error == WinError::kSuccess ? WinError::kSuccess : WinError::kFileNotFound)
            << entry.what;
    }

    // Enumeration sizes its buffer from the longest name in UTF-16 units, as the registry reports it.
    WinRegistryKey parent;
    parent.Open(WinRegistryKey::LocalMachine, L"fits", false);
    EXPECT_EQ(parent.GetSubKeyNames(), std::vector<std::wstring>{faces + L"x"});
    uint32_t count = 0;
    uint32_t longest = 0;
    ASSERT_EQ(store->OpenKey(hklm, L"fits", id), WinError::kSuccess);
    ASSERT_EQ(store->SubKeyCount(id, count, longest), WinError::kSuccess);
    EXPECT_EQ(longest, 255u);
}

// Key ids are never reused, so the id of a deleted key never reaches a key created after it.
TEST_F(RegistryStoreTest, ValuesAKeyCannotTakeAreRefused) {
    ASSERT_EQ(Create(hklm, L"a"), WinError::kSuccess);
    const int64_t deleted = id;
    ASSERT_EQ(store->DeleteKey(hklm, L"a"), WinError::kSuccess);
    ASSERT_EQ(Create(hklm, L"b"), WinError::kSuccess);
    const uint8_t data[] = {'v', 0};
    EXPECT_EQ(store->SetValue(deleted, L"v", platform::kRegSz, data, 2), WinError::kKeyDeleted);
    EXPECT_EQ(store->SetValue(RegistryStore::kNoKey, L"v", platform::kRegSz, data, 2),
              WinError::kAccessDenied);
    EXPECT_EQ(
        store->SetValue(id, L"v" + std::wstring(1, static_cast<wchar_t>(0xD800)), platform::kRegSz, data, 2),
        WinError::kInvalidParameter);
    EXPECT_EQ(store->SetValue(id, L"v", platform::kRegSz, nullptr, 2), WinError::kInvalidParameter);
    std::vector<posix::RegistryValue> values;
    ASSERT_EQ(store->ListValues(id, values), WinError::kSuccess);
    EXPECT_TRUE(values.empty());
}

// A batch is one change: a step refused undoes the steps before it.
TEST_F(RegistryStoreTest, ABatchIsKeptWholeOrNotAtAll) {
    const uint8_t data[] = {'v', 0};
    for (const bool refusedLast : {true, false}) {
        const uint32_t result = store->Batch([&] {
            uint32_t error = Create(hklm, L"batch\\record");
            if (error == WinError::kSuccess) {
                error = store->SetValue(id, L"first", platform::kRegSz, data, 2);
            }
            if (error == WinError::kSuccess) {
                error =
                    store->SetValue(id, refusedLast ? std::wstring(1, static_cast<wchar_t>(0xD800)) : L"last",
                                    platform::kRegSz, data, 2);
            }
            return error;
        });
        EXPECT_EQ(result, refusedLast ? WinError::kInvalidParameter : WinError::kSuccess);
        int64_t record = 0;
        EXPECT_EQ(store->OpenKey(hklm, L"batch", record),
                  refusedLast ? WinError::kFileNotFound : WinError::kSuccess)
            << refusedLast;
    }
    posix::RegistryValue value;
    ASSERT_EQ(store->OpenKey(hklm, L"batch\\record", id), WinError::kSuccess);
    EXPECT_EQ(store->QueryValue(id, L"last", value), WinError::kSuccess);
}

// Neither the hive roots nor the users' hives below HKEY_USERS are ever deleted.
TEST_F(RegistryStoreTest, HiveRootsStay) {
    ASSERT_EQ(Create(users, L"S-1-22-1-1000\\Software"), WinError::kSuccess);
    ASSERT_EQ(store->DeleteKey(users, L"S-1-22-1-1000\\Software"), WinError::kSuccess);
    const struct {
        int64_t parent;
        const wchar_t* path;
    } roots[] = {{hklm, L""}, {users, L""}, {users, L"s-1-22-1-1000"}, {users, L"S-1-22-1-1000\\"}};
    for (const auto& root : roots) {
        EXPECT_EQ(store->DeleteKey(root.parent, root.path), WinError::kAccessDenied) << root.path;
        EXPECT_EQ(store->DeleteTree(root.parent, root.path), WinError::kAccessDenied) << root.path;
    }
    EXPECT_EQ(store->OpenKey(users, L"S-1-22-1-1000", id), WinError::kSuccess);
}

TEST_F(RegistryStoreTest, KeysCreatedWithPermissionsKeepTheirDacl) {
    Permissions permissions;
    permissions.AddAllowedAce(CSid::Administrators(), 0xF003F);
    permissions.AddAllowedAce(CSid::Users(), 0x20019);
    WinRegistryKey key;
    key.CreateKey(CSid(22, {1, 1000}), L"Software\\Protected", &permissions);
    key.CreateKey(CSid(22, {1, 1000}), L"Software\\Plain");
    std::vector<uint8_t> security;
    ASSERT_EQ(store->OpenKey(users, L"S-1-22-1-1000\\software\\protected", id), WinError::kSuccess);
    ASSERT_EQ(store->KeySecurity(id, security), WinError::kSuccess);
    EXPECT_EQ(security, permissions.GetDacl().ToAclBytes());
    ASSERT_EQ(store->OpenKey(users, L"S-1-22-1-1000\\Software\\Plain", id), WinError::kSuccess);
    ASSERT_EQ(store->KeySecurity(id, security), WinError::kSuccess);
    EXPECT_TRUE(security.empty());
}

// One walk reads a whole tree, each key before its sub-keys, and a visit that fails ends it. Trees of any
// depth, as an earlier program could leave them, are deleted without recursion.
TEST_F(RegistryStoreTest, WalksReadAndDeleteTreesOfAnyDepth) {
    int64_t deepest = 0;
    ASSERT_EQ(store->CreateKey(hklm, Chain(510), nullptr, deepest, created), WinError::kSuccess);
    // The keys above the parent count too.
    EXPECT_EQ(Create(deepest, L"below"), WinError::kInvalidParameter);

    std::vector<std::size_t> depths;
    const auto record = [&](const posix::RegistryKeyView& key) {
        depths.push_back(key.path.empty() ? 0 : std::count(key.path.begin(), key.path.end(), L'\\') + 1);
        return depths.size() == 600 ? WinError::kAccessDenied : WinError::kSuccess;
    };
    ASSERT_EQ(store->ReadTree(hklm, true, record), WinError::kSuccess);
    std::vector<std::size_t> expected(511);
    std::iota(expected.begin(), expected.end(), 0);
    EXPECT_EQ(depths, expected);
    EXPECT_EQ(store->ReadTree(hklm, true, record), WinError::kAccessDenied);
    EXPECT_EQ(depths.size(), 600u);
    EXPECT_EQ(store->DeleteTree(hklm, L"k"), WinError::kSuccess);
    EXPECT_EQ(store->OpenKey(hklm, L"k", id), WinError::kFileNotFound);

    ASSERT_TRUE(
        ExecuteSql(RegistryStore::LiveDatabasePath(),
                   "WITH RECURSIVE chain(n) AS (SELECT 1 UNION ALL SELECT n + 1 FROM chain "
                   "WHERE n < 100000) INSERT INTO keys(id, parent, name, folded) "
                   "SELECT 1000000 + n, CASE n WHEN 1 THEN 1 ELSE 999999 + n END, 'd', 'D' FROM chain;"));
    ASSERT_EQ(store->OpenKey(hklm, L"d\\d\\d", id), WinError::kSuccess);
    EXPECT_EQ(store->DeleteTree(hklm, L"d"), WinError::kSuccess);
    EXPECT_EQ(QueryText(RegistryStore::LiveDatabasePath(), "SELECT count(*) FROM keys WHERE folded = 'D'"),
              "0");
}

// A store of the first layout and schema: the live database at the public name, a key "Kept" with the
// REG_DWORD value "v" = 42.
void WriteEarlierStore() {
    const std::string path = RegistryStore::DatabasePath();
    fs::create_directories(fs::path(path).parent_path());
    ASSERT_TRUE(ExecuteSql(
        path, "CREATE TABLE keys(id INTEGER PRIMARY KEY, parent INTEGER REFERENCES keys(id), "
              "name TEXT NOT NULL, folded TEXT NOT NULL, security BLOB);"
              "CREATE UNIQUE INDEX keys_by_name ON keys(parent, folded);"
              "CREATE TABLE key_values(key INTEGER NOT NULL REFERENCES keys(id), name TEXT NOT NULL, "
              "folded TEXT NOT NULL, type INTEGER NOT NULL, data BLOB NOT NULL, "
              "PRIMARY KEY(key, folded)) WITHOUT ROWID;"
              "INSERT INTO keys VALUES(1, NULL, 'HKEY_LOCAL_MACHINE', 'HKEY_LOCAL_MACHINE', NULL);"
              "INSERT INTO keys VALUES(2, NULL, 'HKEY_USERS', 'HKEY_USERS', NULL);"
              "INSERT INTO keys VALUES(3, 1, 'Kept', 'KEPT', NULL);"
              "INSERT INTO key_values VALUES(3, 'v', 'V', 4, x'2a000000');"
              "PRAGMA user_version = 1;"));
}

// The first byte of HKLM\kept value v as store reads it, or 255 when it cannot.
int KeptValue(RegistryStore& store) {
    int64_t id = 0;
    posix::RegistryValue value;
    if (store.OpenKey(1, L"kept", id) != WinError::kSuccess ||
        store.QueryValue(id, L"v", value) != WinError::kSuccess || value.data.empty()) {
        return 255;
    }
    return value.data[0];
}

// The same as this process's store reads it.
int KeptValue() {
    uint32_t error = 0;
    const std::shared_ptr<RegistryStore> store = RegistryStore::ForMachineRoot(error);
    return store ? KeptValue(*store) : 255;
}

TEST(RegistryStoreFilesTest, AnEarlierStoreIsTakenOverAndUpgradedWithItsKeys) {
    test::ScopedMachineRoot machine;
    WriteEarlierStore();
    EXPECT_EQ(KeptValue(), 42);
    WinRegistryKey key;
    key.CreateKey(WinRegistryKey::LocalMachine, L"kept\\new");
    const std::string live = RegistryStore::LiveDatabasePath();
    EXPECT_NE(QueryText(live, "SELECT sql FROM sqlite_master WHERE name = 'keys'").find("AUTOINCREMENT"),
              std::string::npos);
    EXPECT_EQ(QueryText(live, "PRAGMA user_version"), "2");
    EXPECT_EQ(QueryText(live, "SELECT count(*) FROM sqlite_master WHERE name = 'keys_by_name'"), "1");
    // The public name now holds a snapshot of it.
    EXPECT_EQ(QueryText(RegistryStore::DatabasePath(), "SELECT count(*) FROM keys WHERE folded = 'NEW'"),
              "1");
}

// A process of the given user that answers one-byte commands with one byte, for as long as the test
// holds it; what it opened stays open until then.
class Peer {
public:
    Peer(uid_t user, const std::function<char(char)>& answer) {
        int ends[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
            return;
        }
        test_.Reset(ends[0]);
        const posix::UniqueFd peer(ends[1]);
        pid_ = fork();
        if (pid_ != 0) {
            return;
        }
        test_.Reset();
        if (setresgid(user, user, user) != 0 || setresuid(user, user, user) != 0) {
            _exit(100);
        }
        char command = 0;
        while (read(peer.Get(), &command, 1) == 1) {
            const char reply = answer(command);
            if (write(peer.Get(), &reply, 1) != 1) {
                break;
            }
        }
        _exit(0);
    }
    // The peer ends once its commands end.
    ~Peer() {
        test_.Reset();
        if (pid_ > 0) {
            waitpid(pid_, nullptr, 0);
        }
    }
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    char Ask(char command) {
        char reply = 0;
        return write(test_.Get(), &command, 1) == 1 && read(test_.Get(), &reply, 1) == 1 ? reply : 0;
    }
    void Kill() { kill(pid_, SIGKILL); }

private:
    pid_t pid_ = -1;
    posix::UniqueFd test_;
};

// Byte-range read locks over the whole file and an flock: all a reader can take.
bool LockEveryWay(int fd) {
    struct flock range {};
    range.l_type = F_RDLCK;
    range.l_whence = SEEK_SET;
    return fcntl(fd, F_SETLK, &range) == 0 && flock(fd, LOCK_EX | LOCK_NB) == 0;
}

// What a hostile user does to the store ('L'): opens and locks the snapshot published now, holds a read
// transaction on it, locks the store folder, and tries every file of root's. '1' when the snapshot
// was locked every way and none of root's files could be opened.
char LockTheStore(char command) {
    static std::vector<int> held;
    static std::vector<sqlite3*> readers;
    if (command != 'L') {
        return '0';
    }
    const std::string snapshot = RegistryStore::DatabasePath();
    const int file = open(snapshot.c_str(), O_RDONLY);
    const int folder = open(fs::path(snapshot).parent_path().c_str(), O_RDONLY | O_DIRECTORY);
    held.push_back(file);
    held.push_back(folder);
    bool locked = file >= 0 && folder >= 0 && LockEveryWay(file) && flock(folder, LOCK_SH | LOCK_NB) == 0;
    sqlite3* db = nullptr;
    locked = locked && sqlite3_open_v2(snapshot.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK &&
             sqlite3_exec(db, "BEGIN; SELECT count(*) FROM keys;", nullptr, nullptr, nullptr) == SQLITE_OK;
    readers.push_back(db);
    const std::string live = RegistryStore::LiveDatabasePath();
    const std::string privateFolder = fs::path(live).parent_path();
    for (const std::string& name : {live, live + "-journal", privateFolder + "/publish.lock",
                                    privateFolder + "/snapshot.tmp", privateFolder}) {
        const int opened = open(name.c_str(), O_RDONLY);
        if (opened >= 0 || errno != EACCES) {
            locked = false;
        }
        held.push_back(opened);
    }
    return locked ? '1' : '0';
}

// Kills a process of root's in the middle of a change to the database at path, after prepare ran in it,
// so that it leaves a hot journal behind. The process is one that this process never opened the store in.
void KillWriterInTransaction(const std::string& path, void (*prepare)()) {
    Peer writer(0, [&](char) {
        prepare();
        sqlite3* db = nullptr;
        // A tiny page cache makes the change reach the database file before the commit.
        return sqlite3_open(path.c_str(), &db) == SQLITE_OK &&
                       sqlite3_exec(db,
                                    "PRAGMA cache_size = 2; BEGIN IMMEDIATE;"
                                    "UPDATE key_values SET data = randomblob(400000);"
                                    "INSERT INTO keys(parent, name, folded) VALUES(1, 'half', 'HALF');",
                                    nullptr, nullptr, nullptr) == SQLITE_OK
                   ? '1'
                   : '0';
    });
    ASSERT_EQ(writer.Ask('W'), '1');
    writer.Kill();
    struct stat info {};
    ASSERT_EQ(stat((path + "-journal").c_str(), &info), 0) << "the writer left no journal behind";
}

TEST(RegistryStoreFilesTest, AWriterKilledInItsTransactionChangesNothing) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to roll an interrupted change back";
    }
    test::ScopedMachineRoot machine;
    ASSERT_EQ(chmod(posix::MachineRoot().c_str(), 0755), 0);
    const std::string path = RegistryStore::LiveDatabasePath();
    KillWriterInTransaction(path, [] {
        WinRegistryKey key;
        key.CreateKey(WinRegistryKey::LocalMachine, L"software\\steady");
        key.SetStringValue(L"value", L"before");
    });
    const auto before = [] {
        WinRegistryKey key;
        key.Open(WinRegistryKey::LocalMachine, L"software\\steady", false);
        return key.GetStringValue(L"value") == L"before" ? 0 : 1;
    };
    // Until root rolls the change back, other users read the last snapshot.
    EXPECT_EQ(AsNobody(before), 0);
    EXPECT_EQ(before(), 0);
    WinRegistryKey key;
    EXPECT_FALSE(key.KeyExists(WinRegistryKey::LocalMachine, L"half"));
    EXPECT_EQ(QueryText(path, "PRAGMA integrity_check"), "ok");
}

// A scratch machine whose root other users can reach, for the tests that write the store as root and
// read or lock it as another user.
class RegistryStoreSharedTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0) {
            GTEST_SKIP() << "needs root to write the store and to become another user";
        }
        ASSERT_EQ(chmod(posix::MachineRoot().c_str(), 0755), 0);
    }

    test::ScopedMachineRoot machine;
};

TEST_F(RegistryStoreSharedTest, OtherUsersReadAStoreRootCreatedUnderARestrictiveUmask) {
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
    const std::string folder = fs::path(RegistryStore::DatabasePath()).parent_path();
    ASSERT_EQ(chmod(folder.c_str(), 0700), 0);
    EXPECT_EQ(AsNobody([] {
                  platform::RegistryKeyHandle root;
                  return static_cast<int>(platform::OpenRegistryRoot(platform::PredefinedKey::LocalMachine,
                                                                     platform::kKeyRead, root)
                                              .returned);
              }),
              static_cast<int>(WinError::kAccessDenied));
}

// Another user opens every file of the store they can and locks it every way they can; root's changes
// still go through at once (a writer that waited would fail with ERROR_BUSY after the time-out).
TEST_F(RegistryStoreSharedTest, NoLockOfAnotherUserDelaysAWriter) {
    const std::shared_ptr<RegistryStore> store = OpenStore();
    ASSERT_TRUE(store);
    const int64_t root = 1;
    int64_t id = 0;
    bool created = false;
    ASSERT_EQ(store->CreateKey(root, L"software\\seed", nullptr, id, created), WinError::kSuccess);

    Peer hostile(test::kNobody, LockTheStore);
    const uint8_t data[] = {'x', 0};
    // Before each change the other user locks the snapshot published by the one before.
    ASSERT_EQ(hostile.Ask('L'), '1');
    EXPECT_EQ(store->CreateKey(root, L"software\\made", nullptr, id, created), WinError::kSuccess);
    ASSERT_EQ(hostile.Ask('L'), '1');
    EXPECT_EQ(store->SetValue(id, L"name", platform::kRegSz, data, sizeof data), WinError::kSuccess);
    ASSERT_EQ(hostile.Ask('L'), '1');
    EXPECT_EQ(store->DeleteValue(id, L"name"), WinError::kSuccess);
    ASSERT_EQ(hostile.Ask('L'), '1');
    EXPECT_EQ(store->DeleteTree(root, L"software"), WinError::kSuccess);
    ASSERT_EQ(hostile.Ask('L'), '1');
    EXPECT_EQ(store->OpenKey(root, L"software", id), WinError::kFileNotFound);
}

// The long-lived reader of the test below: its store, opened once, and a key it holds across changes.
char ReadAlong(char command) {
    static std::shared_ptr<RegistryStore> store;
    static int64_t doomed = 0;
    uint32_t error = 0;
    if (!store) {
        store = RegistryStore::ForMachineRoot(error);
        if (!store || store->OpenKey(1, L"doomed", doomed) != WinError::kSuccess) {
            return '0';
        }
    }
    posix::RegistryValue value;
    if (command == 'D') {
        return store->QueryValue(doomed, L"v", value) == WinError::kKeyDeleted ? '1' : '0';
    }
    int64_t id = 0;
    const bool seen = store->OpenKey(1, L"kept", id) == WinError::kSuccess &&
                      store->QueryValue(id, L"v", value) == WinError::kSuccess && value.data.size() == 4 &&
                      value.data[0] == static_cast<uint8_t>(command);
    return seen ? '1' : '0';
}

int gExpected = 0;

TEST_F(RegistryStoreSharedTest, OtherUsersSeeEachChangeOnceTheCallReturns) {
    const std::shared_ptr<RegistryStore> store = OpenStore();
    ASSERT_TRUE(store);
    int64_t kept = 0;
    int64_t doomed = 0;
    bool created = false;
    ASSERT_EQ(store->CreateKey(1, L"kept", nullptr, kept, created), WinError::kSuccess);
    ASSERT_EQ(store->CreateKey(1, L"doomed", nullptr, doomed, created), WinError::kSuccess);
    // A reader whose connection outlives many snapshots, and a new reader after each change.
    Peer reader(test::kNobody, ReadAlong);
    for (uint8_t round = 1; round <= 5; ++round) {
        const uint8_t data[] = {round, 0, 0, 0};
        ASSERT_EQ(store->SetValue(kept, L"v", platform::kRegDword, data, sizeof data), WinError::kSuccess);
        EXPECT_EQ(reader.Ask(static_cast<char>(round)), '1') << "round " << int{round};
        gExpected = round;
        EXPECT_EQ(AsNobody([] { return KeptValue() == gExpected ? 0 : 1; }), 0) << "round " << int{round};
    }
    // Key ids are the same in every snapshot: the reader's handle to a deleted key reports it.
    ASSERT_EQ(store->DeleteKey(1, L"doomed"), WinError::kSuccess);
    EXPECT_EQ(reader.Ask('D'), '1');
}

// A crash after a commit and before its snapshot was published, with a half-written snapshot left
// behind: other users read the last whole snapshot until the next process of root's publishes.
TEST_F(RegistryStoreSharedTest, AChangeNotYetPublishedIsPublishedByTheNextRootProcess) {
    ASSERT_EQ(test::InForkedProcess([] {
                  WinRegistryKey key;
                  key.CreateKey(WinRegistryKey::LocalMachine, L"kept");
                  const uint8_t data[] = {1, 0, 0, 0};
                  key.SetValue(L"v", platform::kRegDword, data, sizeof data);
                  return 0;
              }),
              0);
    const std::string live = RegistryStore::LiveDatabasePath();
    ASSERT_TRUE(ExecuteSql(live, "UPDATE key_values SET data = x'02000000';"
                                 "UPDATE publication SET generation = generation + 1;"));
    const std::string leftover = fs::path(live).parent_path() / "snapshot.tmp";
    std::ofstream(leftover) << "half a snapshot";
    EXPECT_EQ(AsNobody([] { return KeptValue(); }), 1);

    EXPECT_TRUE(OpenStore());
    EXPECT_EQ(AsNobody([] { return KeptValue(); }), 2);
    EXPECT_FALSE(fs::exists(leftover));
}

// The earlier layout with a hot journal, while another user locks its files: the take-over rolls the
// change back in its own copy and never waits for the user.
TEST_F(RegistryStoreSharedTest, AnEarlierStoreWithAHotJournalIsTakenOverWhateverAUserLocks) {
    WriteEarlierStore();
    const std::string snapshot = RegistryStore::DatabasePath();
    KillWriterInTransaction(snapshot, [] {});
    // A take-over interrupted once already left its copy behind.
    const std::string live = RegistryStore::LiveDatabasePath();
    fs::create_directories(fs::path(live).parent_path());
    std::ofstream(fs::path(live).parent_path() / "takeover.db") << "half a copy";
    Peer hostile(test::kNobody, [](char) {
        static int files[2];
        files[0] = open(RegistryStore::DatabasePath().c_str(), O_RDONLY);
        files[1] = open((RegistryStore::DatabasePath() + "-journal").c_str(), O_RDONLY);
        return LockEveryWay(files[0]) && LockEveryWay(files[1]) ? '1' : '0';
    });
    ASSERT_EQ(hostile.Ask('L'), '1');

    EXPECT_EQ(KeptValue(), 42);
    EXPECT_EQ(QueryText(live, "SELECT count(*) FROM keys WHERE folded = 'HALF'"), "0");
    EXPECT_EQ(QueryText(live, "PRAGMA integrity_check"), "ok");
    EXPECT_FALSE(fs::exists(snapshot + "-journal"));
    EXPECT_FALSE(fs::exists(fs::path(live).parent_path() / "takeover.db"));
    EXPECT_EQ(AsNobody([] { return KeptValue(); }), 42);
}

// Folders another user could change, or that are not what they seem, are never used.
TEST(RegistryStoreFilesTest, FoldersOthersCouldChangeAreRefused) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to write the store and to give folders away";
    }
    const struct {
        const char* what;
        void (*make)(const fs::path& store);
        uint32_t error;
    } cases[] = {
        {"store folder of another user",
         [](const fs::path& store) { (void)!chown(store.c_str(), test::kNobody, 0); },
         WinError::kAccessDenied},
        {"store folder others may write",
         [](const fs::path& store) { fs::permissions(store, fs::perms::all); }, WinError::kAccessDenied},
        {"private folder of another user",
         [](const fs::path& store) {
             fs::create_directory(store / "store");
             (void)!chown((store / "store").c_str(), test::kNobody, 0);
         },
         WinError::kAccessDenied},
        {"private folder a link",
         [](const fs::path& store) { fs::create_directory_symlink(store.parent_path(), store / "store"); },
         WinError::kCantAccessFile},
        {"private folder a file", [](const fs::path& store) { std::ofstream(store / "store") << ""; },
         WinError::kDirectory},
        {"store folder a link",
         [](const fs::path& store) {
             fs::remove(store);
             fs::create_directory_symlink(store.parent_path(), store);
         },
         WinError::kCantAccessFile},
    };
    for (const auto& entry : cases) {
        test::ScopedMachineRoot machine;
        const fs::path store = fs::path(RegistryStore::DatabasePath()).parent_path();
        fs::create_directories(store);
        entry.make(store);
        uint32_t error = 0;
        EXPECT_FALSE(RegistryStore::ForMachineRoot(error)) << entry.what;
        EXPECT_EQ(error, entry.error) << entry.what;
    }
    // A private folder of root's that others may read is made private again.
    test::ScopedMachineRoot machine;
    const fs::path folder = fs::path(RegistryStore::LiveDatabasePath()).parent_path();
    fs::create_directories(folder);
    fs::permissions(folder, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                fs::perms::others_read | fs::perms::others_exec);
    EXPECT_TRUE(OpenStore());
    EXPECT_EQ(fs::status(folder).permissions(), fs::perms::owner_all);
}

} // namespace
} // namespace ZEPMaintenance
