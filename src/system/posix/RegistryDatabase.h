// Linux settings store, its lowest layer: the SQLite connection, prepared statements and transactions,
// with SQLite's results read back as Windows error numbers.
#pragma once

#include "base/UniqueHandle.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace ZEPMaintenance::posix {

struct DatabaseTraits {
    using Value = sqlite3*;
    static sqlite3* Invalid() noexcept { return nullptr; }
    static void Close(sqlite3* db) noexcept;
};
// An open SQLite connection. It is handed to nearly every statement, so it reads as the connection.
class Database : public UniqueHandle<DatabaseTraits> {
public:
    using UniqueHandle::UniqueHandle;
    operator sqlite3*() const noexcept { return Get(); }
};

// Opens a database file, or a file: URI with SQLITE_OPEN_URI; flags as sqlite3_open_v2 takes them.
[[nodiscard]] uint32_t OpenDatabase(const std::string& name, int flags, Database& db);
// Runs SQL that returns no rows.
[[nodiscard]] uint32_t Execute(sqlite3* db, const char* sql);

struct StatementTraits {
    using Value = sqlite3_stmt*;
    static sqlite3_stmt* Invalid() noexcept { return nullptr; }
    static void Close(sqlite3_stmt* statement) noexcept;
};

// One prepared statement. Its first failure, in preparing, binding or stepping, is kept: later steps
// do nothing, and Error() reports it.
class Statement {
public:
    Statement(sqlite3* db, const char* sql);

    Statement& Bind(int index, int64_t value);
    // A name holding what UTF-8 cannot carry (a lone surrogate) is refused, never stored altered.
    Statement& Bind(int index, const std::wstring& text);
    // A file name: its bytes as they are, UTF-8 or not.
    Statement& BindPath(int index, const std::string& path);
    // A zero-length blob, not NULL, for empty data.
    Statement& BindBlob(int index, const uint8_t* data, std::size_t size);
    Statement& BindNull(int index);

    // True for a row; false when done or failed (see Error).
    bool Step();
    // Steps a statement that returns no rows.
    [[nodiscard]] uint32_t Run();
    [[nodiscard]] uint32_t Error() const;
    // The error, or whenNoRow when the statement failed in nothing but found no row.
    [[nodiscard]] uint32_t ErrorOr(uint32_t whenNoRow) const;

    int64_t Int(int column) const;
    bool IsNull(int column) const;
    std::wstring Text(int column) const;
    std::vector<uint8_t> Blob(int column) const;

private:
    void Check(int result);

    sqlite3* db_;
    UniqueHandle<StatementTraits> statement_;
    int result_;
    bool invalid_ = false;
};

// A transaction on a connection: rolled back unless committed. Writers take the database's reserved
// lock at once, so two writers never deadlock on a lock upgrade.
class Transaction {
public:
    enum Mode { Read, Write };

    Transaction(sqlite3* db, Mode mode);
    ~Transaction();
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    [[nodiscard]] uint32_t Begun() const { return result_; }
    [[nodiscard]] uint32_t Commit();

private:
    sqlite3* db_;
    uint32_t result_;
    bool open_;
};

// Runs body in a write transaction that is committed only when body succeeds.
[[nodiscard]] uint32_t InWriteTransaction(sqlite3* db, const std::function<uint32_t()>& body);

} // namespace ZEPMaintenance::posix
