// Linux settings store: the SQLite connection, its statements and transactions, and SQLite's results as
// Windows error numbers.
#include "system/posix/RegistryDatabase.h"

#include "base/WinError.h"
#include "system/Text.h"
#include "system/posix/PosixSupport.h"

#include <algorithm>
#include <sqlite3.h>

namespace ZEPMaintenance::posix {

namespace {

[[nodiscard]] uint32_t ErrorFromSqlite(sqlite3* db, int result) {
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

} // namespace

void DatabaseTraits::Close(sqlite3* db) noexcept {
    sqlite3_close(db);
}

void StatementTraits::Close(sqlite3_stmt* statement) noexcept {
    sqlite3_finalize(statement);
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

uint32_t Execute(sqlite3* db, const char* sql) {
    return ErrorFromSqlite(db, sqlite3_exec(db, sql, nullptr, nullptr, nullptr));
}

Statement::Statement(sqlite3* db, const char* sql) : db_(db) {
    sqlite3_stmt* prepared = nullptr;
    result_ = sqlite3_prepare_v2(db, sql, -1, &prepared, nullptr);
    statement_.Reset(prepared);
}

Statement& Statement::Bind(int index, int64_t value) {
    Check(sqlite3_bind_int64(statement_.Get(), index, value));
    return *this;
}

Statement& Statement::Bind(int index, const std::wstring& text) {
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

Statement& Statement::BindPath(int index, const std::string& path) {
    Check(sqlite3_bind_text(statement_.Get(), index, path.data(), static_cast<int>(path.size()),
                            SQLITE_TRANSIENT));
    return *this;
}

Statement& Statement::BindBlob(int index, const uint8_t* data, std::size_t size) {
    static const uint8_t kEmpty = 0;
    Check(sqlite3_bind_blob(statement_.Get(), index, data != nullptr ? data : &kEmpty, static_cast<int>(size),
                            SQLITE_TRANSIENT));
    return *this;
}

Statement& Statement::BindNull(int index) {
    Check(sqlite3_bind_null(statement_.Get(), index));
    return *this;
}

bool Statement::Step() {
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

uint32_t Statement::Run() {
    Step();
    return Error();
}

uint32_t Statement::Error() const {
    return invalid_ ? WinError::kInvalidParameter : ErrorFromSqlite(db_, result_);
}

uint32_t Statement::ErrorOr(uint32_t whenNoRow) const {
    const uint32_t error = Error();
    return error != WinError::kSuccess ? error : whenNoRow;
}

int64_t Statement::Int(int column) const {
    return sqlite3_column_int64(statement_.Get(), column);
}

bool Statement::IsNull(int column) const {
    return sqlite3_column_type(statement_.Get(), column) == SQLITE_NULL;
}

std::wstring Statement::Text(int column) const {
    return Wide(sqlite3_column_text(statement_.Get(), column));
}

std::vector<uint8_t> Statement::Blob(int column) const {
    const auto* data = static_cast<const uint8_t*>(sqlite3_column_blob(statement_.Get(), column));
    const int size = sqlite3_column_bytes(statement_.Get(), column);
    return data == nullptr ? std::vector<uint8_t>() : std::vector<uint8_t>(data, data + size);
}

void Statement::Check(int result) {
    if (result_ == SQLITE_OK && result != SQLITE_OK) {
        result_ = result;
    }
}

Transaction::Transaction(sqlite3* db, Mode mode) : db_(db) {
    result_ = Execute(db, mode == Write ? "BEGIN IMMEDIATE" : "BEGIN");
    open_ = result_ == WinError::kSuccess;
}

Transaction::~Transaction() {
    if (open_) {
        // Nobody to report to: a transaction that stays open makes the connection's next BEGIN fail.
        (void)Execute(db_, "ROLLBACK");
    }
}

uint32_t Transaction::Commit() {
    const uint32_t result = Execute(db_, "COMMIT");
    if (result == WinError::kSuccess) {
        open_ = false;
    }
    return result;
}

uint32_t InWriteTransaction(sqlite3* db, const std::function<uint32_t()>& body) {
    Transaction transaction(db, Transaction::Write);
    if (const uint32_t error = transaction.Begun(); error != WinError::kSuccess) {
        return error;
    }
    if (const uint32_t error = body(); error != WinError::kSuccess) {
        return error;
    }
    return transaction.Commit();
}

} // namespace ZEPMaintenance::posix
