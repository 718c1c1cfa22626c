// Linux side of WinRegistryKey: the SQLite settings store that stands in for the registry.
#include "system/posix/RegistryStore.h"

#include "base/Utf16.h"
#include "base/WinError.h"
#include "system/Text.h"
#include "system/posix/PosixSupport.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cwctype>
#include <fcntl.h>
#include <locale.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace ZEPMaintenance::posix {

namespace {

constexpr int64_t kLocalMachineId = 1;
constexpr int64_t kUsersId = 2;

// The registry's trees are at most 512 levels deep, counted from the registry's own root, above the
// hives: HKEY_LOCAL_MACHINE and HKEY_USERS are at level 2.
constexpr std::size_t kLevelsBelowHiveRoots = 510;

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

uint32_t ErrorFromSqlite(sqlite3* db, int result) {
    switch (result & 0xFF) {
    case SQLITE_OK:
    case SQLITE_DONE:
    case SQLITE_ROW:
        return WinError::kSuccess;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
        return WinError::kBusy;
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_AUTH:
        return WinError::kAccessDenied;
    case SQLITE_NOMEM:
        return WinError::kNotEnoughMemory;
    case SQLITE_FULL:
        return WinError::kDiskFull;
    case SQLITE_CORRUPT:
        return WinError::kRegistryCorrupt;
    case SQLITE_NOTADB:
        return WinError::kBadDb;
    case SQLITE_CANTOPEN: {
        const int error = db != nullptr ? sqlite3_system_errno(db) : 0;
        return error != 0 ? WinErrorFromErrno(error) : WinError::kAccessDenied;
    }
    case SQLITE_IOERR:
        return WinError::kRegistryIoFailed;
    default:
        return WinError::kInvalidFunction;
    }
}

std::string Utf8(const std::wstring& text) {
    return WideToMultiByte(text, kUtf8CodePage);
}

std::wstring Wide(const unsigned char* text) {
    return text == nullptr ? std::wstring() : Utf8ToWide(reinterpret_cast<const char*>(text));
}

// One prepared statement; errors are read back as Windows numbers.
class Statement {
public:
    Statement(sqlite3* db, const char* sql) : db_(db) {
        sqlite3_stmt* prepared = nullptr;
        result_ = sqlite3_prepare_v2(db, sql, -1, &prepared, nullptr);
        statement_.Reset(prepared);
    }

    Statement& Bind(int index, int64_t value) {
        Check(sqlite3_bind_int64(statement_.Get(), index, value));
        return *this;
    }
    // A name holding what UTF-8 cannot carry (a lone surrogate) is refused, never stored altered.
    Statement& Bind(int index, const std::wstring& text) {
        const std::string utf8 = Utf8(text);
        const bool storable = std::none_of(text.begin(), text.end(), [](wchar_t c) {
            const auto code = static_cast<uint32_t>(c);
            return (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF;
        });
        if (!storable || (!text.empty() && utf8.empty())) {
            Check(SQLITE_MISUSE);
            invalid_ = true;
            return *this;
        }
        Check(sqlite3_bind_text(statement_.Get(), index, utf8.data(), static_cast<int>(utf8.size()),
                                SQLITE_TRANSIENT));
        return *this;
    }
    // A file name: its bytes as they are, UTF-8 or not.
    Statement& BindPath(int index, const std::string& path) {
        Check(sqlite3_bind_text(statement_.Get(), index, path.data(), static_cast<int>(path.size()),
                                SQLITE_TRANSIENT));
        return *this;
    }
    Statement& BindBlob(int index, const uint8_t* data, std::size_t size) {
        // A zero-length blob, not NULL, for empty data.
        static const uint8_t kEmpty = 0;
        Check(sqlite3_bind_blob(statement_.Get(), index, data != nullptr ? data : &kEmpty,
                                static_cast<int>(size), SQLITE_TRANSIENT));
        return *this;
    }
    Statement& BindNull(int index) {
        Check(sqlite3_bind_null(statement_.Get(), index));
        return *this;
    }

    // True for a row; false when done or failed (see Error).
    bool Step() {
        if (result_ != SQLITE_OK) {
            return false;
        }
        const int result = sqlite3_step(statement_.Get());
        if (result == SQLITE_ROW) {
            return true;
        }
        if (result != SQLITE_DONE) {
            result_ = result;
        }
        return false;
    }
    uint32_t Error() const { return invalid_ ? WinError::kInvalidParameter : ErrorFromSqlite(db_, result_); }

    int64_t Int(int column) const { return sqlite3_column_int64(statement_.Get(), column); }
    bool IsNull(int column) const { return sqlite3_column_type(statement_.Get(), column) == SQLITE_NULL; }
    std::wstring Text(int column) const { return Wide(sqlite3_column_text(statement_.Get(), column)); }
    std::vector<uint8_t> Blob(int column) const {
        const auto* data = static_cast<const uint8_t*>(sqlite3_column_blob(statement_.Get(), column));
        const int size = sqlite3_column_bytes(statement_.Get(), column);
        return data == nullptr ? std::vector<uint8_t>() : std::vector<uint8_t>(data, data + size);
    }

private:
    void Check(int result) {
        if (result_ == SQLITE_OK && result != SQLITE_OK) {
            result_ = result;
        }
    }

    sqlite3* db_;
    UniquePointer<sqlite3_stmt*, sqlite3_finalize> statement_;
    int result_ = SQLITE_OK;
    bool invalid_ = false;
};

uint32_t Execute(sqlite3* db, const char* sql) {
    return ErrorFromSqlite(db, sqlite3_exec(db, sql, nullptr, nullptr, nullptr));
}

// Splits a relative key path at backslashes; one trailing backslash is allowed, empty names are not.
bool SplitKeyPath(const std::wstring& path, std::vector<std::wstring>& names) {
    names.clear();
    if (path.empty()) {
        return true;
    }
    std::wstring text = path;
    if (text.back() == L'\\') {
        text.pop_back();
    }
    std::size_t start = 0;
    while (true) {
        const std::size_t end = text.find(L'\\', start);
        const std::wstring name =
            text.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start);
        if (name.empty()) {
            return false;
        }
        names.push_back(name);
        if (end == std::wstring::npos) {
            return true;
        }
        start = end + 1;
    }
}

// The folders the store creates are searchable by every user whatever the umask, so that other users
// can read the snapshot.
uint32_t MakeDirectories(const std::string& path) {
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

uint32_t UserVersion(sqlite3* db, int64_t& version) {
    Statement query(db, "PRAGMA user_version");
    version = query.Step() ? query.Int(0) : 0;
    return query.Error();
}

uint32_t Generation(sqlite3* db, int64_t& generation) {
    Statement query(db, "SELECT generation FROM publication");
    generation = query.Step() ? query.Int(0) : -1;
    return query.Error();
}

// A folder of root's that no other user can change: otherwise whoever can write it could put their
// own snapshot in place, or a link where the private folder should be. A link is ERROR_CANT_ACCESS_FILE
// and anything but a folder ERROR_DIRECTORY, as for the file calls; a folder of another owner or one
// that others may write is ERROR_ACCESS_DENIED.
uint32_t CheckFolder(const UniqueFd& folder) {
    struct stat info {};
    if (fstat(folder.Get(), &info) != 0) {
        return LastWinError();
    }
    return info.st_uid == 0 && (info.st_mode & 022) == 0 ? WinError::kSuccess : WinError::kAccessDenied;
}

uint32_t OpenFolderAt(int parent, const char* name, UniqueFd& folder) {
    const int opened = openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (opened < 0) {
        const int error = errno;
        struct stat info {};
        if (error == ENOTDIR && fstatat(parent, name, &info, AT_SYMLINK_NOFOLLOW) == 0) {
            return S_ISLNK(info.st_mode) ? WinError::kCantAccessFile : WinError::kDirectory;
        }
        return error == ELOOP ? WinError::kCantAccessFile : WinErrorFromErrno(error);
    }
    folder.Reset(opened);
    return CheckFolder(folder);
}

bool ExistsAt(int folder, const char* name) {
    struct stat info {};
    return fstatat(folder, name, &info, AT_SYMLINK_NOFOLLOW) == 0;
}

uint32_t RemoveAt(int folder, const char* name) {
    return unlinkat(folder, name, 0) == 0 || errno == ENOENT ? WinError::kSuccess : LastWinError();
}

uint32_t SyncAt(int folder, const char* name) {
    const int opened = openat(folder, name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (opened < 0) {
        return LastWinError();
    }
    const UniqueFd file(opened);
    return fsync(file.Get()) == 0 ? WinError::kSuccess : LastWinError();
}

// A plain byte copy: reading ignores the locks any user may hold on the source.
uint32_t CopyAt(int fromFolder, const char* from, int toFolder, const char* to) {
    const int source = openat(fromFolder, from, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (source < 0) {
        return LastWinError();
    }
    const UniqueFd in(source);
    struct stat info {};
    if (fstat(in.Get(), &info) != 0) {
        return LastWinError();
    }
    if (!S_ISREG(info.st_mode)) {
        return WinError::kAccessDenied;
    }
    const int target = openat(toFolder, to, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (target < 0) {
        return LastWinError();
    }
    const UniqueFd out(target);
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
    uint32_t Acquire(int privateFolder) {
        const int opened = openat(privateFolder, kLockName, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (opened < 0) {
            return LastWinError();
        }
        file_.Reset(opened);
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

uint32_t OpenDatabase(const std::string& name, int flags, Database& db) {
    // Never through a symbolic link: SQLite then refuses a link in any part of the path.
    sqlite3* opened = nullptr;
    const int result =
        sqlite3_open_v2(name.c_str(), &opened, flags | SQLITE_OPEN_FULLMUTEX | SQLITE_OPEN_NOFOLLOW, nullptr);
    // A connection is handed out even when the opening fails, to read the error from.
    Database connection(opened);
    if (result != SQLITE_OK) {
        db.Reset();
        return ErrorFromSqlite(connection, result);
    }
    db = std::move(connection);
    return WinError::kSuccess;
}

std::string InPrivateFolder(const char* name) {
    return UnderMachineRoot(std::string(kStoreFolder) + "/" + kPrivateFolder + "/" + name);
}

uint32_t SnapshotGeneration(const std::string& path, int64_t& generation) {
    Database db;
    uint32_t result = OpenDatabase(SnapshotUri(path), SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, db);
    if (result == WinError::kSuccess) {
        result = Generation(db, generation);
    }
    return result;
}

// A store of the earlier layout kept the live database at the public name. Its files are copied, not
// opened in place, because any user may hold a lock on them; SQLite then rolls a hot journal back in the
// copy. Until the copy is renamed into place a crash leaves the earlier layout, which the next opening
// takes over again; the copy left behind is removed first.
uint32_t TakeOverEarlierLayout(int store, int live) {
    uint32_t result = RemoveAt(live, kTakeOverTemp);
    if (result == WinError::kSuccess) {
        result = RemoveAt(live, kTakeOverJournal);
    }
    if (result != WinError::kSuccess || ExistsAt(live, kDatabaseName) || !ExistsAt(store, kDatabaseName)) {
        return result;
    }
    result = CopyAt(store, kDatabaseName, live, kTakeOverTemp);
    if (result == WinError::kSuccess && ExistsAt(store, kJournalName)) {
        result = CopyAt(store, kJournalName, live, kTakeOverJournal);
    }
    if (result == WinError::kSuccess) {
        Database copy;
        result = OpenDatabase(InPrivateFolder(kTakeOverTemp), SQLITE_OPEN_READWRITE, copy);
        if (result == WinError::kSuccess) {
            result = Execute(copy, "SELECT count(*) FROM sqlite_master");
        }
    }
    // What is left of the journal after that was not hot.
    if (result == WinError::kSuccess) {
        result = RemoveAt(live, kTakeOverJournal);
    }
    if (result == WinError::kSuccess) {
        result = SyncAt(live, kTakeOverTemp);
    }
    if (result == WinError::kSuccess && renameat(live, kTakeOverTemp, live, kDatabaseName) != 0) {
        result = LastWinError();
    }
    if (result == WinError::kSuccess && fsync(live) != 0) {
        result = LastWinError();
    }
    return result;
}

} // namespace

void DatabaseTraits::Close(sqlite3* db) noexcept {
    sqlite3_close(db);
}

std::wstring FoldRegistryName(const std::wstring& name) {
    static const locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
    std::wstring folded = name;
    for (wchar_t& c : folded) {
        c = static_cast<wchar_t>(utf8 != static_cast<locale_t>(nullptr)
                                     ? towupper_l(static_cast<wint_t>(c), utf8)
                                     : towupper(static_cast<wint_t>(c)));
    }
    return folded;
}

// A transaction on the store's connection: rolled back unless committed. Writers take the
// database's reserved lock at once, so two writers never deadlock on a lock upgrade.
class RegistryStore::Transaction {
public:
    Transaction(sqlite3* db, bool write) : db_(db) {
        result_ = Execute(db, write ? "BEGIN IMMEDIATE" : "BEGIN");
        open_ = result_ == WinError::kSuccess;
    }
    ~Transaction() {
        if (open_) {
            Execute(db_, "ROLLBACK");
        }
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    uint32_t Begun() const { return result_; }
    uint32_t Commit() {
        const uint32_t result = Execute(db_, "COMMIT");
        if (result == WinError::kSuccess) {
            open_ = false;
        }
        return result;
    }

private:
    sqlite3* db_;
    uint32_t result_;
    bool open_;
};

// A change is committed and then published, all under the publication lock: the call returns once
// every user can read the change.
template <class Body> uint32_t RegistryStore::Writing(Body body) {
    if (!writable_ || db_ == nullptr) {
        return WinError::kAccessDenied;
    }
    PublicationLock publication;
    uint32_t result = publication.Acquire(privateFolder_.Get());
    if (result != WinError::kSuccess) {
        return result;
    }
    {
        Transaction transaction(db_, true);
        result = transaction.Begun();
        if (result == WinError::kSuccess) {
            result = body();
        }
        if (result == WinError::kSuccess) {
            result = Execute(db_, "UPDATE publication SET generation = generation + 1");
        }
        if (result == WinError::kSuccess) {
            result = transaction.Commit();
        }
    }
    // A change that is committed but not published is reported as failed; the next change or the next
    // opening by root publishes it.
    return result == WinError::kSuccess ? Publish() : result;
}

template <class Body> uint32_t RegistryStore::ReadingKey(int64_t key, Body body) {
    Transaction transaction(db_, false);
    uint32_t result = transaction.Begun();
    if (result == WinError::kSuccess) {
        result = Exists(key);
    }
    return result == WinError::kSuccess ? body() : result;
}

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

uint32_t RegistryStore::OpenLive() {
    const std::string folder = UnderMachineRoot(kStoreFolder);
    uint32_t result = MakeDirectories(folder);
    if (result == WinError::kSuccess) {
        result = OpenObject(folder, O_RDONLY, ObjectKind::Folder, storeFolder_);
    }
    if (result == WinError::kSuccess) {
        result = CheckFolder(storeFolder_);
    }
    if (result == WinError::kSuccess && mkdirat(storeFolder_.Get(), kPrivateFolder, 0700) != 0 &&
        errno != EEXIST) {
        result = LastWinError();
    }
    if (result == WinError::kSuccess) {
        result = OpenFolderAt(storeFolder_.Get(), kPrivateFolder, privateFolder_);
    }
    // Root's own folder is made private again should it have been opened up; only other users' write
    // access to it is beyond repair.
    if (result == WinError::kSuccess && fchmod(privateFolder_.Get(), 0700) != 0) {
        result = LastWinError();
    }
    PublicationLock publication;
    if (result == WinError::kSuccess) {
        result = publication.Acquire(privateFolder_.Get());
    }
    const int store = storeFolder_.Get();
    const int live = privateFolder_.Get();
    if (result == WinError::kSuccess) {
        result = TakeOverEarlierLayout(store, live);
    }
    if (result == WinError::kSuccess) {
        result = OpenDatabase(LiveDatabasePath(), SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, db_);
    }
    if (result != WinError::kSuccess) {
        return result;
    }
    sqlite3_busy_timeout(db_, kBusyTimeoutMs);
    // The rollback journal, not WAL: only root opens the live database, and the snapshot is what the
    // others read. EXTRA also syncs the folder once the journal is deleted at a commit; without it a
    // crash right after the commit could bring the journal back and roll the change back.
    result = Execute(db_, "PRAGMA journal_mode=DELETE; PRAGMA synchronous=EXTRA;");
    if (result == WinError::kSuccess) {
        Transaction transaction(db_, true);
        result = transaction.Begun();
        int64_t version = 0;
        if (result == WinError::kSuccess) {
            result = UserVersion(db_, version);
        }
        if (result == WinError::kSuccess && version == 1) {
            result = Execute(db_, kUpgradeFrom1);
        }
        if (result == WinError::kSuccess) {
            result = Execute(db_, kSchema);
        }
        if (result == WinError::kSuccess) {
            result = transaction.Commit();
        }
    }
    // The journal takes the database's mode.
    if (result == WinError::kSuccess && fchmodat(live, kDatabaseName, 0600, 0) != 0) {
        result = LastWinError();
    }
    if (result == WinError::kSuccess) {
        result = PublishIfStale();
    }
    return result;
}

// A crash between a commit and its publication leaves the snapshot behind the live database; the
// generation, counted by every change, tells. A journal at the public name means the file there was
// written in place (the earlier layout, whose journal was copied above): it is replaced, and the
// journal removed, so that it is never applied to a snapshot.
uint32_t RegistryStore::PublishIfStale() {
    if (ExistsAt(storeFolder_.Get(), kJournalName)) {
        const uint32_t result = Publish();
        return result == WinError::kSuccess ? RemoveAt(storeFolder_.Get(), kJournalName) : result;
    }
    int64_t live = 0;
    uint32_t result = Generation(db_, live);
    if (result != WinError::kSuccess) {
        return result;
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
    uint32_t result = RemoveAt(live, kSnapshotTemp);
    if (result == WinError::kSuccess) {
        Statement vacuum(db_, "VACUUM INTO ?");
        vacuum.BindPath(1, InPrivateFolder(kSnapshotTemp)).Step();
        result = vacuum.Error();
    }
    if (result == WinError::kSuccess && fchmodat(live, kSnapshotTemp, 0644, 0) != 0) {
        result = LastWinError();
    }
    if (result == WinError::kSuccess) {
        result = SyncAt(live, kSnapshotTemp);
    }
    if (result == WinError::kSuccess &&
        renameat(live, kSnapshotTemp, storeFolder_.Get(), kDatabaseName) != 0) {
        result = LastWinError();
    }
    if (result == WinError::kSuccess && fsync(storeFolder_.Get()) != 0) {
        result = LastWinError();
    }
    return result;
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
    uint32_t result = OpenObject(path_, O_RDONLY, ObjectKind::File, file);
    if (result == WinError::kFileNotFound) {
        // Nothing was ever written: an empty registry.
        return WinError::kSuccess;
    }
    struct stat info {};
    if (result == WinError::kSuccess && fstat(file.Get(), &info) != 0) {
        result = LastWinError();
    }
    // Only root publishes.
    if (result == WinError::kSuccess && info.st_uid != 0) {
        result = WinError::kAccessDenied;
    }
    if (result == WinError::kSuccess) {
        result = OpenDatabase(SnapshotUri(path_), SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, db_);
    }
    if (result == WinError::kSuccess) {
        snapshot_.Reset(file.Release());
        snapshotDevice_ = info.st_dev;
        snapshotInode_ = info.st_ino;
    }
    return result;
}

RegistryStore::~RegistryStore() = default;

uint32_t RegistryStore::HiveKey(Hive hive, int64_t& id) {
    id = hive == Hive::LocalMachine ? kLocalMachineId : kUsersId;
    return WinError::kSuccess;
}

uint32_t RegistryStore::UserHiveKey(const std::wstring& sid, int64_t& id, bool create) {
    const uint32_t result = OpenKey(kUsersId, sid, id);
    if (result == WinError::kFileNotFound && writable_ && create) {
        bool created = false;
        return CreateKey(kUsersId, sid, nullptr, id, created);
    }
    if (result == WinError::kFileNotFound) {
        id = kNoKey;
        return WinError::kSuccess;
    }
    return result;
}

uint32_t RegistryStore::Exists(int64_t key) {
    if (key == kNoKey) {
        return WinError::kSuccess;
    }
    if (db_ == nullptr) {
        return key == kLocalMachineId || key == kUsersId ? WinError::kSuccess : WinError::kKeyDeleted;
    }
    Statement query(db_, "SELECT 1 FROM keys WHERE id = ?");
    if (query.Bind(1, key).Step()) {
        return WinError::kSuccess;
    }
    return query.Error() != WinError::kSuccess ? query.Error() : WinError::kKeyDeleted;
}

uint32_t RegistryStore::ChildOf(int64_t parent, const std::wstring& name, int64_t& id) {
    Statement query(db_, "SELECT id FROM keys WHERE parent = ? AND folded = ?");
    if (query.Bind(1, parent).Bind(2, FoldRegistryName(name)).Step()) {
        id = query.Int(0);
        return WinError::kSuccess;
    }
    return query.Error() != WinError::kSuccess ? query.Error() : WinError::kFileNotFound;
}

uint32_t RegistryStore::Walk(int64_t parent, const std::wstring& subKey, bool create,
                             const std::vector<uint8_t>* security, int64_t& id, bool& created) {
    created = false;
    std::vector<std::wstring> names;
    if (!SplitKeyPath(subKey, names)) {
        return WinError::kBadPathname;
    }
    uint32_t result = Exists(parent);
    if (result != WinError::kSuccess) {
        return result;
    }
    if (create && !names.empty()) {
        // The key cannot exist deeper, so a path too long is refused before any name of it is looked up.
        Statement depth(db_, "WITH RECURSIVE up(id, depth) AS (SELECT ?, 0 UNION ALL "
                             "SELECT keys.parent, up.depth + 1 FROM keys JOIN up ON keys.id = up.id "
                             "WHERE keys.parent IS NOT NULL) SELECT max(depth) FROM up");
        if (!depth.Bind(1, parent).Step()) {
            return depth.Error();
        }
        if (static_cast<std::size_t>(depth.Int(0)) + names.size() > kLevelsBelowHiveRoots) {
            return WinError::kInvalidParameter;
        }
    }
    id = parent;
    for (const std::wstring& name : names) {
        if (id == kNoKey || db_ == nullptr) {
            return WinError::kFileNotFound;
        }
        int64_t child = 0;
        result = ChildOf(id, name, child);
        if (result == WinError::kFileNotFound && create) {
            if (Utf16Length(name) > 255) {
                return WinError::kInvalidParameter;
            }
            Statement insert(db_, "INSERT INTO keys(parent, name, folded, security) VALUES(?, ?, ?, ?)");
            insert.Bind(1, id).Bind(2, name).Bind(3, FoldRegistryName(name));
            if (security != nullptr) {
                insert.BindBlob(4, security->data(), security->size());
            } else {
                insert.BindNull(4);
            }
            insert.Step();
            if (insert.Error() != WinError::kSuccess) {
                return insert.Error();
            }
            child = sqlite3_last_insert_rowid(db_);
            created = true;
        } else if (result != WinError::kSuccess) {
            return result;
        } else {
            created = false;
        }
        id = child;
    }
    return WinError::kSuccess;
}

uint32_t RegistryStore::OpenKey(int64_t parent, const std::wstring& subKey, int64_t& id) {
    std::lock_guard guard(lock_);
    if (const uint32_t refreshed = Refresh(); refreshed != WinError::kSuccess) {
        return refreshed;
    }
    if (db_ == nullptr) {
        bool created = false;
        return Walk(parent, subKey, false, nullptr, id, created);
    }
    Transaction transaction(db_, false);
    if (transaction.Begun() != WinError::kSuccess) {
        return transaction.Begun();
    }
    bool created = false;
    return Walk(parent, subKey, false, nullptr, id, created);
}

uint32_t RegistryStore::CreateKey(int64_t parent, const std::wstring& subKey,
                                  const std::vector<uint8_t>* security, int64_t& id, bool& created) {
    std::lock_guard guard(lock_);
    return Writing([&] { return Walk(parent, subKey, true, security, id, created); });
}

// SQLite walks a recursive query with a queue, not a stack, so a tree of any depth is deleted.
uint32_t RegistryStore::DeleteSubtree(int64_t id) {
    Statement values(db_, "WITH RECURSIVE subtree(id) AS (SELECT ? UNION ALL SELECT keys.id FROM keys "
                          "JOIN subtree ON keys.parent = subtree.id) "
                          "DELETE FROM key_values WHERE key IN subtree");
    values.Bind(1, id).Step();
    if (values.Error() != WinError::kSuccess) {
        return values.Error();
    }
    Statement keys(db_, "WITH RECURSIVE subtree(id) AS (SELECT ? UNION ALL SELECT keys.id FROM keys "
                        "JOIN subtree ON keys.parent = subtree.id) "
                        "DELETE FROM keys WHERE id IN subtree");
    keys.Bind(1, id).Step();
    return keys.Error();
}

uint32_t RegistryStore::DeleteKey(int64_t parent, const std::wstring& subKey) {
    std::lock_guard guard(lock_);
    return Writing([&] {
        int64_t id = 0;
        uint32_t result = DeletableKey(parent, subKey, id);
        if (result != WinError::kSuccess) {
            return result;
        }
        Statement children(db_, "SELECT 1 FROM keys WHERE parent = ? LIMIT 1");
        if (children.Bind(1, id).Step()) {
            // A key with sub-keys is not deleted, as the registry refuses it.
            return WinError::kAccessDenied;
        }
        return children.Error() != WinError::kSuccess ? children.Error() : DeleteSubtree(id);
    });
}

uint32_t RegistryStore::DeleteTree(int64_t parent, const std::wstring& subKey) {
    std::lock_guard guard(lock_);
    return Writing([&] {
        int64_t id = 0;
        const uint32_t result = DeletableKey(parent, subKey, id);
        return result != WinError::kSuccess ? result : DeleteSubtree(id);
    });
}

uint32_t RegistryStore::DeletableKey(int64_t parent, const std::wstring& subKey, int64_t& id) {
    bool created = false;
    const uint32_t result = Walk(parent, subKey, false, nullptr, id, created);
    if (result != WinError::kSuccess) {
        return result;
    }
    if (id == kLocalMachineId || id == kUsersId || id == kNoKey) {
        return WinError::kAccessDenied; // a hive root is never deleted
    }
    // Neither is a user's hive, the direct sub-key of HKEY_USERS.
    Statement query(db_, "SELECT parent FROM keys WHERE id = ?");
    if (query.Bind(1, id).Step() && query.Int(0) == kUsersId) {
        return WinError::kAccessDenied;
    }
    return query.Error();
}

uint32_t RegistryStore::QueryValue(int64_t key, const std::wstring& name, RegistryValue& value) {
    std::lock_guard guard(lock_);
    if (const uint32_t refreshed = Refresh(); refreshed != WinError::kSuccess) {
        return refreshed;
    }
    if (db_ == nullptr || key == kNoKey) {
        return Exists(key) == WinError::kSuccess ? WinError::kFileNotFound : WinError::kKeyDeleted;
    }
    return ReadingKey(key, [&] {
        Statement query(db_, "SELECT name, type, data FROM key_values WHERE key = ? AND folded = ?");
        if (query.Bind(1, key).Bind(2, FoldRegistryName(name)).Step()) {
            value.name = query.Text(0);
            value.type = static_cast<uint32_t>(query.Int(1));
            value.data = query.Blob(2);
            return WinError::kSuccess;
        }
        return query.Error() != WinError::kSuccess ? query.Error() : WinError::kFileNotFound;
    });
}

uint32_t RegistryStore::SetValue(int64_t key, const std::wstring& name, uint32_t type, const uint8_t* data,
                                 uint32_t size) {
    std::lock_guard guard(lock_);
    if (key == kNoKey) {
        return WinError::kAccessDenied;
    }
    if (data == nullptr && size != 0) {
        return WinError::kInvalidParameter;
    }
    return Writing([&] {
        const uint32_t result = Exists(key);
        if (result != WinError::kSuccess) {
            return result;
        }
        // An existing value keeps the case of its name.
        Statement upsert(db_,
                         "INSERT INTO key_values(key, name, folded, type, data) VALUES(?, ?, ?, ?, ?) "
                         "ON CONFLICT(key, folded) DO UPDATE SET type = excluded.type, data = excluded.data");
        upsert.Bind(1, key).Bind(2, name).Bind(3, FoldRegistryName(name)).Bind(4, static_cast<int64_t>(type));
        upsert.BindBlob(5, data, size).Step();
        return upsert.Error();
    });
}

uint32_t RegistryStore::DeleteValue(int64_t key, const std::wstring& name) {
    std::lock_guard guard(lock_);
    if (key == kNoKey) {
        return WinError::kAccessDenied;
    }
    return Writing([&] {
        uint32_t result = Exists(key);
        if (result != WinError::kSuccess) {
            return result;
        }
        Statement remove(db_, "DELETE FROM key_values WHERE key = ? AND folded = ?");
        remove.Bind(1, key).Bind(2, FoldRegistryName(name)).Step();
        result = remove.Error();
        return result == WinError::kSuccess && sqlite3_changes(db_) == 0 ? WinError::kFileNotFound : result;
    });
}

uint32_t RegistryStore::ValuesOf(int64_t key, std::vector<RegistryValue>& values) {
    Statement query(db_, "SELECT name, type, data FROM key_values WHERE key = ? ORDER BY folded");
    query.Bind(1, key);
    while (query.Step()) {
        values.push_back({query.Text(0), static_cast<uint32_t>(query.Int(1)), query.Blob(2)});
    }
    return query.Error();
}

uint32_t RegistryStore::ListValues(int64_t key, std::vector<RegistryValue>& values) {
    std::lock_guard guard(lock_);
    if (const uint32_t refreshed = Refresh(); refreshed != WinError::kSuccess) {
        return refreshed;
    }
    values.clear();
    if (db_ == nullptr || key == kNoKey) {
        return Exists(key);
    }
    return ReadingKey(key, [&] { return ValuesOf(key, values); });
}

uint32_t RegistryStore::SubKeyCount(int64_t key, uint32_t& count, uint32_t& maxNameLength) {
    std::lock_guard guard(lock_);
    count = 0;
    maxNameLength = 0;
    if (const uint32_t refreshed = Refresh(); refreshed != WinError::kSuccess) {
        return refreshed;
    }
    if (db_ == nullptr || key == kNoKey) {
        return Exists(key);
    }
    // The longest name in UTF-16 units, as the registry reports it.
    return ReadingKey(key, [&] {
        Statement query(db_, "SELECT name FROM keys WHERE parent = ?");
        query.Bind(1, key);
        while (query.Step()) {
            ++count;
            maxNameLength = std::max(maxNameLength, static_cast<uint32_t>(Utf16Length(query.Text(0))));
        }
        return query.Error();
    });
}

uint32_t RegistryStore::SubKeyAt(int64_t key, uint32_t index, std::wstring& name) {
    std::lock_guard guard(lock_);
    if (const uint32_t refreshed = Refresh(); refreshed != WinError::kSuccess) {
        return refreshed;
    }
    if (db_ == nullptr || key == kNoKey) {
        const uint32_t result = Exists(key);
        return result != WinError::kSuccess ? result : WinError::kNoMoreItems;
    }
    return ReadingKey(key, [&] {
        Statement query(db_, "SELECT name FROM keys WHERE parent = ? ORDER BY folded LIMIT 1 OFFSET ?");
        if (query.Bind(1, key).Bind(2, static_cast<int64_t>(index)).Step()) {
            name = query.Text(0);
            return WinError::kSuccess;
        }
        return query.Error() != WinError::kSuccess ? query.Error() : WinError::kNoMoreItems;
    });
}

uint32_t RegistryStore::SubKeysOf(int64_t key, std::vector<int64_t>* ids, std::vector<std::wstring>& names) {
    Statement query(db_, "SELECT id, name FROM keys WHERE parent = ? ORDER BY folded");
    query.Bind(1, key);
    while (query.Step()) {
        if (ids != nullptr) {
            ids->push_back(query.Int(0));
        }
        names.push_back(query.Text(1));
    }
    return query.Error();
}

uint32_t RegistryStore::SubKeyNames(int64_t key, std::vector<std::wstring>& names) {
    std::lock_guard guard(lock_);
    if (const uint32_t refreshed = Refresh(); refreshed != WinError::kSuccess) {
        return refreshed;
    }
    names.clear();
    if (db_ == nullptr || key == kNoKey) {
        return Exists(key);
    }
    return ReadingKey(key, [&] { return SubKeysOf(key, nullptr, names); });
}

// Depth first with a stack of its own, so that no depth of tree exhausts the thread's stack.
uint32_t RegistryStore::ReadTree(int64_t key, bool recursive,
                                 const std::function<uint32_t(const RegistryKeyView&)>& visit) {
    std::lock_guard guard(lock_);
    if (const uint32_t refreshed = Refresh(); refreshed != WinError::kSuccess) {
        return refreshed;
    }
    if (db_ == nullptr || key == kNoKey) {
        const uint32_t result = Exists(key);
        return result != WinError::kSuccess ? result : visit(RegistryKeyView{});
    }
    return ReadingKey(key, [&] {
        std::vector<std::pair<int64_t, std::wstring>> pending{{key, std::wstring()}};
        while (!pending.empty()) {
            RegistryKeyView view;
            const int64_t id = pending.back().first;
            view.path = std::move(pending.back().second);
            pending.pop_back();
            std::vector<int64_t> children;
            uint32_t result = ValuesOf(id, view.values);
            if (result == WinError::kSuccess) {
                result = SubKeysOf(id, &children, view.subKeys);
            }
            if (result == WinError::kSuccess) {
                result = visit(view);
            }
            if (result != WinError::kSuccess) {
                return result;
            }
            // Pushed last to first, so that the first sub-key is visited next.
            for (std::size_t i = children.size(); recursive && i > 0; --i) {
                const std::wstring& name = view.subKeys[i - 1];
                pending.emplace_back(children[i - 1], view.path.empty() ? name : view.path + L"\\" + name);
            }
        }
        return static_cast<uint32_t>(WinError::kSuccess);
    });
}

uint32_t RegistryStore::KeySecurity(int64_t key, std::vector<uint8_t>& security) {
    std::lock_guard guard(lock_);
    if (const uint32_t refreshed = Refresh(); refreshed != WinError::kSuccess) {
        return refreshed;
    }
    security.clear();
    if (db_ == nullptr || key == kNoKey) {
        return Exists(key);
    }
    Statement query(db_, "SELECT security FROM keys WHERE id = ?");
    if (query.Bind(1, key).Step()) {
        if (!query.IsNull(0)) {
            security = query.Blob(0);
        }
        return WinError::kSuccess;
    }
    return query.Error() != WinError::kSuccess ? query.Error() : WinError::kKeyDeleted;
}

uint32_t RegistryStore::KeyName(int64_t key, std::wstring& name) {
    std::lock_guard guard(lock_);
    if (const uint32_t refreshed = Refresh(); refreshed != WinError::kSuccess) {
        return refreshed;
    }
    if (db_ == nullptr || key == kNoKey) {
        name = key == kUsersId ? L"HKEY_USERS" : L"HKEY_LOCAL_MACHINE";
        return Exists(key);
    }
    Statement query(db_, "SELECT name FROM keys WHERE id = ?");
    if (query.Bind(1, key).Step()) {
        name = query.Text(0);
        return WinError::kSuccess;
    }
    return query.Error() != WinError::kSuccess ? query.Error() : WinError::kKeyDeleted;
}

} // namespace ZEPMaintenance::posix
