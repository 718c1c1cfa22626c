// Linux settings store, its files: the folders, the live database and its schema, the snapshot published
// by rename, and the take-over of a store of the earlier layout.
#include "base/WinError.h"
#include "system/posix/PosixSupport.h"
#include "system/posix/RegistryDatabase.h"
#include "system/posix/RegistryStore.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace ZEPMaintenance::posix {

namespace {

// Long enough for a writer that copies a whole product's settings. Only root's processes ever wait:
// other users read a snapshot that takes no lock.
constexpr int kBusyTimeoutMs = 30000;

// The store folder holds the published snapshot; the private folder, which only root may enter, the
// live database, its journal, the publication lock and the snapshot being written.
constexpr const char* kStoreFolder = "var/lib/zepmaintenance";
constexpr const char* kPrivateFolder = "store";
constexpr const char* kDatabaseName = "registry.db";
constexpr const char* kJournalName = "registry.db-journal";
constexpr const char* kLockName = "publish.lock";
constexpr const char* kSnapshotTemp = "snapshot.tmp";
constexpr const char* kTakeOverTemp = "takeover.db";
constexpr const char* kTakeOverJournal = "takeover.db-journal";

// Key ids are never handed out twice, so a handle to a deleted key never reaches a newer one.
constexpr const char* kSchema = R"sql(
CREATE TABLE IF NOT EXISTS keys(
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    parent INTEGER REFERENCES keys(id),
    name TEXT NOT NULL,
    folded TEXT NOT NULL,
    security BLOB);
CREATE UNIQUE INDEX IF NOT EXISTS keys_by_name ON keys(parent, folded);
CREATE TABLE IF NOT EXISTS key_values(
    key INTEGER NOT NULL REFERENCES keys(id),
    name TEXT NOT NULL,
    folded TEXT NOT NULL,
    type INTEGER NOT NULL,
    data BLOB NOT NULL,
    PRIMARY KEY(key, folded)) WITHOUT ROWID;
INSERT OR IGNORE INTO keys(id, parent, name, folded) VALUES(1, NULL, 'HKEY_LOCAL_MACHINE', 'HKEY_LOCAL_MACHINE');
INSERT OR IGNORE INTO keys(id, parent, name, folded) VALUES(2, NULL, 'HKEY_USERS', 'HKEY_USERS');
CREATE TABLE IF NOT EXISTS publication(generation INTEGER NOT NULL);
INSERT INTO publication(generation) SELECT 0 WHERE NOT EXISTS (SELECT 1 FROM publication);
PRAGMA user_version = 2;
)sql";

// Version 1 reused the ids of deleted keys: its keys move to a table that does not.
constexpr const char* kUpgradeFrom1 = R"sql(
CREATE TABLE keys_next(
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    parent INTEGER REFERENCES keys(id),
    name TEXT NOT NULL,
    folded TEXT NOT NULL,
    security BLOB);
INSERT INTO keys_next(id, parent, name, folded, security) SELECT id, parent, name, folded, security FROM keys;
DROP TABLE keys;
ALTER TABLE keys_next RENAME TO keys;
)sql";

// The folders the store creates are searchable by every user whatever the umask, so that other users
// can read the snapshot.
[[nodiscard]] uint32_t MakeDirectories(const std::string& path) {
    for (std::size_t pos = 1; pos <= path.size(); ++pos) {
        if (pos == path.size() || path[pos] == '/') {
            const std::string part = path.substr(0, pos);
            if (mkdir(part.c_str(), 0755) == 0) {
                if (chmod(part.c_str(), 0755) != 0) {
                    return WinErrorFromErrno(errno);
                }
            } else if (errno != EEXIST) {
                return WinErrorFromErrno(errno);
            }
        }
    }
    return WinError::kSuccess;
}

[[nodiscard]] uint32_t UserVersion(sqlite3* db, int64_t& version) {
    Statement query(db, "PRAGMA user_version");
    version = query.Step() ? query.Int(0) : 0;
    return query.Error();
}

[[nodiscard]] uint32_t Generation(sqlite3* db, int64_t& generation) {
    Statement query(db, "SELECT generation FROM publication");
    generation = query.Step() ? query.Int(0) : -1;
    return query.Error();
}

// A folder of root's that no other user can change: otherwise whoever can write it could put their
// own snapshot in place, or a link where the private folder should be. A link is ERROR_CANT_ACCESS_FILE
// and anything but a folder ERROR_DIRECTORY, as for the file calls; a folder of another owner or one
// that others may write is ERROR_ACCESS_DENIED.
[[nodiscard]] uint32_t CheckFolder(const UniqueFd& folder) {
    struct stat info {};
    if (fstat(folder.Get(), &info) != 0) {
        return LastWinError();
    }
    return info.st_uid == 0 && (info.st_mode & 022) == 0 ? WinError::kSuccess : WinError::kAccessDenied;
}

[[nodiscard]] uint32_t OpenFolderAt(int parent, const char* name, UniqueFd& folder) {
    UniqueFd opened = MakeDescriptor(openat, parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (!opened) {
        const int error = errno;
        struct stat info {};
        if (error == ENOTDIR && fstatat(parent, name, &info, AT_SYMLINK_NOFOLLOW) == 0) {
            return S_ISLNK(info.st_mode) ? WinError::kCantAccessFile : WinError::kDirectory;
        }
        return error == ELOOP ? WinError::kCantAccessFile : WinErrorFromErrno(error);
    }
    folder = std::move(opened);
    return CheckFolder(folder);
}

bool ExistsAt(int folder, const char* name) {
    struct stat info {};
    return fstatat(folder, name, &info, AT_SYMLINK_NOFOLLOW) == 0;
}

[[nodiscard]] uint32_t RemoveAt(int folder, const char* name) {
    return unlinkat(folder, name, 0) == 0 || errno == ENOENT ? WinError::kSuccess : LastWinError();
}

[[nodiscard]] uint32_t SyncAt(int folder, const char* name) {
    const UniqueFd file = MakeDescriptor(openat, folder, name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (!file) {
        return LastWinError();
    }
    return fsync(file.Get()) == 0 ? WinError::kSuccess : LastWinError();
}

// A plain byte copy: reading ignores the locks any user may hold on the source.
[[nodiscard]] uint32_t CopyAt(int fromFolder, const char* from, int toFolder, const char* to) {
    const UniqueFd in =
        MakeDescriptor(openat, fromFolder, from, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (!in) {
        return LastWinError();
    }
    struct stat info {};
    if (fstat(in.Get(), &info) != 0) {
        return LastWinError();
    }
    if (!S_ISREG(info.st_mode)) {
        return WinError::kAccessDenied;
    }
    const UniqueFd out =
        MakeDescriptor(openat, toFolder, to, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (!out) {
        return LastWinError();
    }
    std::vector<char> buffer(1 << 16);
    while (true) {
        const ssize_t got = RetryAfterSignal(-1, read, in.Get(), buffer.data(), buffer.size());
        if (got < 0) {
            return LastWinError();
        }
        if (got == 0) {
            return WinError::kSuccess;
        }
        for (ssize_t done = 0; done < got;) {
            const ssize_t put = RetryAfterSignal(-1, write, out.Get(), buffer.data() + done,
                                                 static_cast<std::size_t>(got - done));
            if (put <= 0) {
                return put < 0 ? LastWinError() : WinError::kDiskFull;
            }
            done += put;
        }
    }
}

// The lock that orders root's writers from the start of a change to the publication of its snapshot, so
// that snapshots never go back in time. The file is opened anew each time: flock belongs to the open
// file, and a descriptor inherited over fork would share it.
class PublicationLock {
public:
    [[nodiscard]] uint32_t Acquire(int privateFolder) {
        file_ =
            MakeDescriptor(openat, privateFolder, kLockName, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (!file_) {
            return LastWinError();
        }
        // Polled like SQLite's busy handler, so that a root process that hangs costs the time-out only.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBusyTimeoutMs);
        auto pause = std::chrono::milliseconds(1);
        while (RetryAfterSignal(-1, flock, file_.Get(), LOCK_EX | LOCK_NB) != 0) {
            if (errno != EWOULDBLOCK) {
                return LastWinError();
            }
            if (std::chrono::steady_clock::now() >= deadline) {
                return WinError::kBusy;
            }
            std::this_thread::sleep_for(pause);
            pause = std::min(pause * 2, std::chrono::milliseconds(50));
        }
        return WinError::kSuccess;
    }

private:
    UniqueFd file_;
};

// An immutable URI: SQLite then neither locks the file nor looks for a journal, so the reader holds
// nothing a writer could wait for.
std::string SnapshotUri(const std::string& path) {
    static const char kHex[] = "0123456789ABCDEF";
    // An absolute path gets an empty authority, so that a path starting with "//" stays a path.
    std::string uri = path.empty() || path[0] != '/' ? "file:" : "file://";
    for (const char c : path) {
        const auto byte = static_cast<unsigned char>(c);
        const bool plain = (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
                           (byte >= '0' && byte <= '9') || byte == '/' || byte == '-' || byte == '.' ||
                           byte == '_' || byte == '~';
        if (plain) {
            uri += c;
        } else {
            uri += '%';
            uri += kHex[byte >> 4];
            uri += kHex[byte & 15];
        }
    }
    return uri + "?immutable=1";
}

std::string InPrivateFolder(const char* name) {
    return UnderMachineRoot(std::string(kStoreFolder) + "/" + kPrivateFolder + "/" + name);
}

[[nodiscard]] uint32_t SnapshotGeneration(const std::string& path, int64_t& generation) {
    Database db;
    if (const uint32_t error = OpenDatabase(SnapshotUri(path), SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, db);
        error != WinError::kSuccess) {
        return error;
    }
    return Generation(db, generation);
}

// SQLite rolls a hot journal back when the database is first read. The connection is closed on return,
// before what is left of the journal is removed.
[[nodiscard]] uint32_t RollBackHotJournal(const std::string& path) {
    Database copy;
    if (const uint32_t error = OpenDatabase(path, SQLITE_OPEN_READWRITE, copy); error != WinError::kSuccess) {
        return error;
    }
    return Execute(copy, "SELECT count(*) FROM sqlite_master");
}

// A store of the earlier layout kept the live database at the public name. Its files are copied, not
// opened in place, because any user may hold a lock on them; SQLite then rolls a hot journal back in the
// copy. Until the copy is renamed into place a crash leaves the earlier layout, which the next opening
// takes over again; the copy left behind is removed first.
[[nodiscard]] uint32_t TakeOverEarlierLayout(int store, int live) {
    if (const uint32_t error = RemoveAt(live, kTakeOverTemp); error != WinError::kSuccess) {
        return error;
    }
    if (const uint32_t error = RemoveAt(live, kTakeOverJournal); error != WinError::kSuccess) {
        return error;
    }
    if (ExistsAt(live, kDatabaseName) || !ExistsAt(store, kDatabaseName)) {
        return WinError::kSuccess;
    }
    if (const uint32_t error = CopyAt(store, kDatabaseName, live, kTakeOverTemp);
        error != WinError::kSuccess) {
        return error;
    }
    if (ExistsAt(store, kJournalName)) {
        if (const uint32_t error = CopyAt(store, kJournalName, live, kTakeOverJournal);
            error != WinError::kSuccess) {
            return error;
        }
    }
    if (const uint32_t error = RollBackHotJournal(InPrivateFolder(kTakeOverTemp));
        error != WinError::kSuccess) {
        return error;
    }
    // What is left of the journal after that was not hot.
    if (const uint32_t error = RemoveAt(live, kTakeOverJournal); error != WinError::kSuccess) {
        return error;
    }
    if (const uint32_t error = SyncAt(live, kTakeOverTemp); error != WinError::kSuccess) {
        return error;
    }
    if (renameat(live, kTakeOverTemp, live, kDatabaseName) != 0) {
        return LastWinError();
    }
    return fsync(live) == 0 ? WinError::kSuccess : LastWinError();
}

// A new store gets the schema; one of the first schema is upgraded first.
[[nodiscard]] uint32_t Migrate(sqlite3* db) {
    return InWriteTransaction(db, [db] {
        int64_t version = 0;
        if (const uint32_t error = UserVersion(db, version); error != WinError::kSuccess) {
            return error;
        }
        if (version == 1) {
            if (const uint32_t error = Execute(db, kUpgradeFrom1); error != WinError::kSuccess) {
                return error;
            }
        }
        return Execute(db, kSchema);
    });
}

// VACUUM INTO writes a copy of the whole database; its statement is finalised before the copy is used.
[[nodiscard]] uint32_t VacuumInto(sqlite3* db, const std::string& path) {
    Statement vacuum(db, "VACUUM INTO ?");
    return vacuum.BindPath(1, path).Run();
}

} // namespace

std::string RegistryStore::DatabasePath() {
    return UnderMachineRoot(std::string(kStoreFolder) + "/" + kDatabaseName);
}

std::string RegistryStore::LiveDatabasePath() {
    return InPrivateFolder(kDatabaseName);
}

std::shared_ptr<RegistryStore> RegistryStore::ForMachineRoot(uint32_t& error) {
    static std::mutex cacheLock;
    static std::shared_ptr<RegistryStore> cached;
    const std::string path = DatabasePath();
    const bool writable = geteuid() == 0;
    std::lock_guard guard(cacheLock);
    if (cached && cached->path_ == path && cached->writable_ == writable) {
        error = WinError::kSuccess;
        return cached;
    }
    std::shared_ptr<RegistryStore> store;
    error = Open(path, store);
    if (error == WinError::kSuccess) {
        cached = store;
    }
    return store;
}

uint32_t RegistryStore::Open(const std::string& path, std::shared_ptr<RegistryStore>& store) {
    const bool writable = geteuid() == 0;
    std::shared_ptr<RegistryStore> opened(new RegistryStore(path, writable));
    const uint32_t result = writable ? opened->OpenLive() : opened->Refresh();
    if (result == WinError::kSuccess) {
        store = std::move(opened);
    }
    return result;
}

RegistryStore::RegistryStore(std::string path, bool writable) : path_(std::move(path)), writable_(writable) {}

RegistryStore::~RegistryStore() = default;

uint32_t RegistryStore::OpenFolders() {
    const std::string folder = UnderMachineRoot(kStoreFolder);
    if (const uint32_t error = MakeDirectories(folder); error != WinError::kSuccess) {
        return error;
    }
    if (const uint32_t error = OpenObject(folder, O_RDONLY, ObjectKind::Folder, storeFolder_);
        error != WinError::kSuccess) {
        return error;
    }
    if (const uint32_t error = CheckFolder(storeFolder_); error != WinError::kSuccess) {
        return error;
    }
    if (mkdirat(storeFolder_.Get(), kPrivateFolder, 0700) != 0 && errno != EEXIST) {
        return LastWinError();
    }
    if (const uint32_t error = OpenFolderAt(storeFolder_.Get(), kPrivateFolder, privateFolder_);
        error != WinError::kSuccess) {
        return error;
    }
    // Root's own folder is made private again should it have been opened up; only other users' write
    // access to it is beyond repair.
    return fchmod(privateFolder_.Get(), 0700) == 0 ? WinError::kSuccess : LastWinError();
}

uint32_t RegistryStore::OpenLive() {
    if (const uint32_t error = OpenFolders(); error != WinError::kSuccess) {
        return error;
    }
    const int store = storeFolder_.Get();
    const int live = privateFolder_.Get();
    PublicationLock publication;
    if (const uint32_t error = publication.Acquire(live); error != WinError::kSuccess) {
        return error;
    }
    if (const uint32_t error = TakeOverEarlierLayout(store, live); error != WinError::kSuccess) {
        return error;
    }
    if (const uint32_t error =
            OpenDatabase(LiveDatabasePath(), SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, db_);
        error != WinError::kSuccess) {
        return error;
    }
    sqlite3_busy_timeout(db_, kBusyTimeoutMs);
    // The rollback journal, not WAL: only root opens the live database, and the snapshot is what the
    // others read. EXTRA also syncs the folder once the journal is deleted at a commit; without it a
    // crash right after the commit could bring the journal back and roll the change back.
    if (const uint32_t error = Execute(db_, "PRAGMA journal_mode=DELETE; PRAGMA synchronous=EXTRA;");
        error != WinError::kSuccess) {
        return error;
    }
    if (const uint32_t error = Migrate(db_); error != WinError::kSuccess) {
        return error;
    }
    // The journal takes the database's mode.
    if (fchmodat(live, kDatabaseName, 0600, 0) != 0) {
        return LastWinError();
    }
    return PublishIfStale();
}

// A crash between a commit and its publication leaves the snapshot behind the live database; the
// generation, counted by every change, tells. A journal at the public name means the file there was
// written in place (the earlier layout, whose journal was copied above): it is replaced, and the
// journal removed, so that it is never applied to a snapshot.
uint32_t RegistryStore::PublishIfStale() {
    if (ExistsAt(storeFolder_.Get(), kJournalName)) {
        if (const uint32_t error = Publish(); error != WinError::kSuccess) {
            return error;
        }
        return RemoveAt(storeFolder_.Get(), kJournalName);
    }
    int64_t live = 0;
    if (const uint32_t error = Generation(db_, live); error != WinError::kSuccess) {
        return error;
    }
    int64_t published = -1;
    if (SnapshotGeneration(path_, published) == WinError::kSuccess && published == live) {
        return WinError::kSuccess;
    }
    return Publish();
}

// The snapshot is written where no other user can open it (VACUUM INTO locks its output), made
// durable and readable, and renamed over the public name, so that a reader always finds a whole one.
uint32_t RegistryStore::Publish() {
    const int live = privateFolder_.Get();
    // A crash while writing the last one may have left it behind; VACUUM INTO needs the name free.
    if (const uint32_t error = RemoveAt(live, kSnapshotTemp); error != WinError::kSuccess) {
        return error;
    }
    if (const uint32_t error = VacuumInto(db_, InPrivateFolder(kSnapshotTemp)); error != WinError::kSuccess) {
        return error;
    }
    if (fchmodat(live, kSnapshotTemp, 0644, 0) != 0) {
        return LastWinError();
    }
    if (const uint32_t error = SyncAt(live, kSnapshotTemp); error != WinError::kSuccess) {
        return error;
    }
    if (renameat(live, kSnapshotTemp, storeFolder_.Get(), kDatabaseName) != 0) {
        return LastWinError();
    }
    return fsync(storeFolder_.Get()) == 0 ? WinError::kSuccess : LastWinError();
}

// Before each operation another user's store checks that it reads the snapshot last published. The
// file the connection was opened on stays open, so its inode number is not reused while it is compared;
// a rename that races the opening only costs one more reopening.
uint32_t RegistryStore::Refresh() {
    if (writable_) {
        return WinError::kSuccess;
    }
    struct stat info {};
    if (stat(path_.c_str(), &info) != 0) {
        if (errno != ENOENT) {
            return LastWinError();
        }
        // Still nothing published, or the snapshot is gone and the store reads as empty again.
        return db_ == nullptr ? WinError::kSuccess : OpenSnapshot();
    }
    if (db_ != nullptr && info.st_dev == snapshotDevice_ && info.st_ino == snapshotInode_) {
        return WinError::kSuccess;
    }
    return OpenSnapshot();
}

uint32_t RegistryStore::OpenSnapshot() {
    db_.Reset();
    snapshot_.Reset();
    UniqueFd file;
    const uint32_t opened = OpenObject(path_, O_RDONLY, ObjectKind::File, file);
    if (opened == WinError::kFileNotFound) {
        // Nothing was ever written: an empty registry.
        return WinError::kSuccess;
    }
    if (opened != WinError::kSuccess) {
        return opened;
    }
    struct stat info {};
    if (fstat(file.Get(), &info) != 0) {
        return LastWinError();
    }
    // Only root publishes.
    if (info.st_uid != 0) {
        return WinError::kAccessDenied;
    }
    if (const uint32_t error = OpenDatabase(SnapshotUri(path_), SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, db_);
        error != WinError::kSuccess) {
        return error;
    }
    snapshot_.Reset(file.Release());
    snapshotDevice_ = info.st_dev;
    snapshotInode_ = info.st_ino;
    return WinError::kSuccess;
}

// A change is committed and then published, all under the publication lock: the call returns once
// every user can read the change.
uint32_t RegistryStore::Writing(const std::function<uint32_t()>& change) {
    if (!writable_ || db_ == nullptr) {
        return WinError::kAccessDenied;
    }
    if (batching_) {
        return change();
    }
    PublicationLock publication;
    if (const uint32_t error = publication.Acquire(privateFolder_.Get()); error != WinError::kSuccess) {
        return error;
    }
    const uint32_t committed = InWriteTransaction(db_, [&] {
        if (const uint32_t error = change(); error != WinError::kSuccess) {
            return error;
        }
        return Execute(db_, "UPDATE publication SET generation = generation + 1");
    });
    // A change that is committed but not published is reported as failed; the next change or the next
    // opening by root publishes it.
    return committed == WinError::kSuccess ? Publish() : committed;
}

uint32_t RegistryStore::Batch(const std::function<uint32_t()>& changes) {
    std::lock_guard guard(lock_);
    if (batching_) {
        return changes();
    }
    return Writing([&] {
        struct Joined {
            bool& batching;
            ~Joined() { batching = false; }
        } joined{batching_};
        batching_ = true;
        return changes();
    });
}

} // namespace ZEPMaintenance::posix
