// Linux side of WinRegistryKey: the settings store's tree of keys, their values and security, and walks
// over it.
#include "system/posix/RegistryStore.h"

#include "base/Utf16.h"
#include "base/WinError.h"
#include "system/posix/RegistryDatabase.h"

#include <algorithm>
#include <cwctype>
#include <locale.h>
#include <sqlite3.h>

namespace ZEPMaintenance::posix {

namespace {

constexpr int64_t kLocalMachineId = 1;
constexpr int64_t kUsersId = 2;

// The registry's trees are at most 512 levels deep, counted from the registry's own root, above the
// hives: HKEY_LOCAL_MACHINE and HKEY_USERS are at level 2.
constexpr std::size_t kLevelsBelowHiveRoots = 510;

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

// The key cannot exist deeper, so a path too long is refused before any name of it is looked up.
[[nodiscard]] uint32_t CheckDepth(sqlite3* db, int64_t parent, std::size_t newLevels) {
    Statement depth(db, "WITH RECURSIVE up(id, depth) AS (SELECT ?, 0 UNION ALL "
                        "SELECT keys.parent, up.depth + 1 FROM keys JOIN up ON keys.id = up.id "
                        "WHERE keys.parent IS NOT NULL) SELECT max(depth) FROM up");
    if (!depth.Bind(1, parent).Step()) {
        return depth.Error();
    }
    return static_cast<std::size_t>(depth.Int(0)) + newLevels > kLevelsBelowHiveRoots
               ? WinError::kInvalidParameter
               : WinError::kSuccess;
}

[[nodiscard]] uint32_t ChildOf(sqlite3* db, int64_t parent, const std::wstring& name, int64_t& id) {
    Statement query(db, "SELECT id FROM keys WHERE parent = ? AND folded = ?");
    if (!query.Bind(1, parent).Bind(2, FoldRegistryName(name)).Step()) {
        return query.ErrorOr(WinError::kFileNotFound);
    }
    id = query.Int(0);
    return WinError::kSuccess;
}

[[nodiscard]] uint32_t InsertKey(sqlite3* db, int64_t parent, const std::wstring& name,
                                 const std::vector<uint8_t>* security, int64_t& id) {
    if (Utf16Length(name) > 255) {
        return WinError::kInvalidParameter;
    }
    Statement insert(db, "INSERT INTO keys(parent, name, folded, security) VALUES(?, ?, ?, ?)");
    insert.Bind(1, parent).Bind(2, name).Bind(3, FoldRegistryName(name));
    if (security != nullptr) {
        insert.BindBlob(4, security->data(), security->size());
    } else {
        insert.BindNull(4);
    }
    if (const uint32_t error = insert.Run(); error != WinError::kSuccess) {
        return error;
    }
    id = sqlite3_last_insert_rowid(db);
    return WinError::kSuccess;
}

// SQLite walks a recursive query with a queue, not a stack, so a tree of any depth is deleted.
[[nodiscard]] uint32_t DeleteSubtree(sqlite3* db, int64_t id) {
    const std::string subtree = "WITH RECURSIVE subtree(id) AS (SELECT ? UNION ALL SELECT keys.id FROM keys "
                                "JOIN subtree ON keys.parent = subtree.id) ";
    Statement values(db, (subtree + "DELETE FROM key_values WHERE key IN subtree").c_str());
    if (const uint32_t error = values.Bind(1, id).Run(); error != WinError::kSuccess) {
        return error;
    }
    Statement keys(db, (subtree + "DELETE FROM keys WHERE id IN subtree").c_str());
    return keys.Bind(1, id).Run();
}

[[nodiscard]] uint32_t ValuesOf(sqlite3* db, int64_t key, std::vector<RegistryValue>& values) {
    Statement query(db, "SELECT name, type, data FROM key_values WHERE key = ? ORDER BY folded");
    query.Bind(1, key);
    while (query.Step()) {
        values.push_back({query.Text(0), static_cast<uint32_t>(query.Int(1)), query.Blob(2)});
    }
    return query.Error();
}

[[nodiscard]] uint32_t SubKeysOf(sqlite3* db, int64_t key, std::vector<int64_t>* ids,
                                 std::vector<std::wstring>& names) {
    Statement query(db, "SELECT id, name FROM keys WHERE parent = ? ORDER BY folded");
    query.Bind(1, key);
    while (query.Step()) {
        if (ids != nullptr) {
            ids->push_back(query.Int(0));
        }
        names.push_back(query.Text(1));
    }
    return query.Error();
}

// One column of a key's own row (sql selects it by id), handed to take; a single statement needs no
// transaction to read one moment of the store.
template <class Take>
[[nodiscard]] uint32_t ReadKeyColumn(sqlite3* db, int64_t key, const char* sql, Take take) {
    Statement query(db, sql);
    if (!query.Bind(1, key).Step()) {
        return query.ErrorOr(WinError::kKeyDeleted);
    }
    take(query);
    return WinError::kSuccess;
}

} // namespace

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

template <class Read, class Unread>
uint32_t RegistryStore::ReadingKey(int64_t key, Read read, Unread unread) {
    if (const uint32_t error = Refresh(); error != WinError::kSuccess) {
        return error;
    }
    if (db_ == nullptr || key == kNoKey) {
        if (const uint32_t error = ErrorUnlessKeyExists(key); error != WinError::kSuccess) {
            return error;
        }
        return unread();
    }
    Transaction transaction(db_, Transaction::Read);
    if (const uint32_t error = transaction.Begun(); error != WinError::kSuccess) {
        return error;
    }
    if (const uint32_t error = ErrorUnlessKeyExists(key); error != WinError::kSuccess) {
        return error;
    }
    return read();
}

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

uint32_t RegistryStore::ErrorUnlessKeyExists(int64_t key) {
    if (key == kNoKey) {
        return WinError::kSuccess;
    }
    if (db_ == nullptr) {
        return key == kLocalMachineId || key == kUsersId ? WinError::kSuccess : WinError::kKeyDeleted;
    }
    Statement query(db_, "SELECT 1 FROM keys WHERE id = ?");
    return query.Bind(1, key).Step() ? WinError::kSuccess : query.ErrorOr(WinError::kKeyDeleted);
}

uint32_t RegistryStore::Walk(int64_t parent, const std::wstring& subKey, bool create,
                             const std::vector<uint8_t>* security, int64_t& id, bool& created) {
    created = false;
    std::vector<std::wstring> names;
    if (!SplitKeyPath(subKey, names)) {
        return WinError::kBadPathname;
    }
    if (const uint32_t error = ErrorUnlessKeyExists(parent); error != WinError::kSuccess) {
        return error;
    }
    if (create && !names.empty()) {
        if (const uint32_t error = CheckDepth(db_, parent, names.size()); error != WinError::kSuccess) {
            return error;
        }
    }
    id = parent;
    for (const std::wstring& name : names) {
        if (id == kNoKey || db_ == nullptr) {
            return WinError::kFileNotFound;
        }
        int64_t child = 0;
        const uint32_t found = ChildOf(db_, id, name, child);
        if (found == WinError::kFileNotFound && create) {
            if (const uint32_t error = InsertKey(db_, id, name, security, child);
                error != WinError::kSuccess) {
                return error;
            }
        } else if (found != WinError::kSuccess) {
            return found;
        }
        created = found != WinError::kSuccess;
        id = child;
    }
    return WinError::kSuccess;
}

uint32_t RegistryStore::FindKey(int64_t parent, const std::wstring& subKey, int64_t& id) {
    bool created = false;
    return Walk(parent, subKey, false, nullptr, id, created);
}

uint32_t RegistryStore::OpenKey(int64_t parent, const std::wstring& subKey, int64_t& id) {
    std::lock_guard guard(lock_);
    if (const uint32_t error = Refresh(); error != WinError::kSuccess) {
        return error;
    }
    if (db_ == nullptr) {
        return FindKey(parent, subKey, id);
    }
    Transaction transaction(db_, Transaction::Read);
    if (const uint32_t error = transaction.Begun(); error != WinError::kSuccess) {
        return error;
    }
    return FindKey(parent, subKey, id);
}

uint32_t RegistryStore::CreateKey(int64_t parent, const std::wstring& subKey,
                                  const std::vector<uint8_t>* security, int64_t& id, bool& created) {
    std::lock_guard guard(lock_);
    return Writing([&] { return Walk(parent, subKey, true, security, id, created); });
}

uint32_t RegistryStore::DeleteKey(int64_t parent, const std::wstring& subKey) {
    std::lock_guard guard(lock_);
    return Writing([&] {
        int64_t id = 0;
        if (const uint32_t error = DeletableKey(parent, subKey, id); error != WinError::kSuccess) {
            return error;
        }
        Statement children(db_, "SELECT 1 FROM keys WHERE parent = ? LIMIT 1");
        if (children.Bind(1, id).Step()) {
            // A key with sub-keys is not deleted, as the registry refuses it.
            return WinError::kAccessDenied;
        }
        if (const uint32_t error = children.Error(); error != WinError::kSuccess) {
            return error;
        }
        return DeleteSubtree(db_, id);
    });
}

uint32_t RegistryStore::DeleteTree(int64_t parent, const std::wstring& subKey) {
    std::lock_guard guard(lock_);
    return Writing([&] {
        int64_t id = 0;
        if (const uint32_t error = DeletableKey(parent, subKey, id); error != WinError::kSuccess) {
            return error;
        }
        return DeleteSubtree(db_, id);
    });
}

uint32_t RegistryStore::DeletableKey(int64_t parent, const std::wstring& subKey, int64_t& id) {
    if (const uint32_t error = FindKey(parent, subKey, id); error != WinError::kSuccess) {
        return error;
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
    const auto read = [&] {
        Statement query(db_, "SELECT name, type, data FROM key_values WHERE key = ? AND folded = ?");
        if (!query.Bind(1, key).Bind(2, FoldRegistryName(name)).Step()) {
            return query.ErrorOr(WinError::kFileNotFound);
        }
        value.name = query.Text(0);
        value.type = static_cast<uint32_t>(query.Int(1));
        value.data = query.Blob(2);
        return WinError::kSuccess;
    };
    return ReadingKey(key, read, [] { return WinError::kFileNotFound; });
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
        if (const uint32_t error = ErrorUnlessKeyExists(key); error != WinError::kSuccess) {
            return error;
        }
        // An existing value keeps the case of its name.
        Statement upsert(db_,
                         "INSERT INTO key_values(key, name, folded, type, data) VALUES(?, ?, ?, ?, ?) "
                         "ON CONFLICT(key, folded) DO UPDATE SET type = excluded.type, data = excluded.data");
        upsert.Bind(1, key).Bind(2, name).Bind(3, FoldRegistryName(name)).Bind(4, static_cast<int64_t>(type));
        return upsert.BindBlob(5, data, size).Run();
    });
}

uint32_t RegistryStore::DeleteValue(int64_t key, const std::wstring& name) {
    std::lock_guard guard(lock_);
    if (key == kNoKey) {
        return WinError::kAccessDenied;
    }
    return Writing([&] {
        if (const uint32_t error = ErrorUnlessKeyExists(key); error != WinError::kSuccess) {
            return error;
        }
        Statement remove(db_, "DELETE FROM key_values WHERE key = ? AND folded = ?");
        if (const uint32_t error = remove.Bind(1, key).Bind(2, FoldRegistryName(name)).Run();
            error != WinError::kSuccess) {
            return error;
        }
        return sqlite3_changes(db_) == 0 ? WinError::kFileNotFound : WinError::kSuccess;
    });
}

uint32_t RegistryStore::ListValues(int64_t key, std::vector<RegistryValue>& values) {
    std::lock_guard guard(lock_);
    values.clear();
    return ReadingKey(
        key, [&] { return ValuesOf(db_, key, values); }, [] { return WinError::kSuccess; });
}

uint32_t RegistryStore::SubKeyCount(int64_t key, uint32_t& count, uint32_t& maxNameLength) {
    std::lock_guard guard(lock_);
    count = 0;
    maxNameLength = 0;
    // The longest name in UTF-16 units, as the registry reports it.
    const auto read = [&] {
        Statement query(db_, "SELECT name FROM keys WHERE parent = ?");
        query.Bind(1, key);
        while (query.Step()) {
            ++count;
            maxNameLength = std::max(maxNameLength, static_cast<uint32_t>(Utf16Length(query.Text(0))));
        }
        return query.Error();
    };
    return ReadingKey(key, read, [] { return WinError::kSuccess; });
}

uint32_t RegistryStore::SubKeyAt(int64_t key, uint32_t index, std::wstring& name) {
    std::lock_guard guard(lock_);
    const auto read = [&] {
        Statement query(db_, "SELECT name FROM keys WHERE parent = ? ORDER BY folded LIMIT 1 OFFSET ?");
        if (!query.Bind(1, key).Bind(2, static_cast<int64_t>(index)).Step()) {
            return query.ErrorOr(WinError::kNoMoreItems);
        }
        name = query.Text(0);
        return WinError::kSuccess;
    };
    return ReadingKey(key, read, [] { return WinError::kNoMoreItems; });
}

uint32_t RegistryStore::SubKeyNames(int64_t key, std::vector<std::wstring>& names) {
    std::lock_guard guard(lock_);
    names.clear();
    return ReadingKey(
        key, [&] { return SubKeysOf(db_, key, nullptr, names); }, [] { return WinError::kSuccess; });
}

uint32_t RegistryStore::ReadTree(int64_t key, bool recursive,
                                 const std::function<uint32_t(const RegistryKeyView&)>& visit) {
    std::lock_guard guard(lock_);
    return ReadingKey(
        key, [&] { return VisitTree(key, recursive, visit); }, [&] { return visit(RegistryKeyView{}); });
}

// Depth first with a stack of its own, so that no depth of tree exhausts the thread's stack.
uint32_t RegistryStore::VisitTree(int64_t key, bool recursive,
                                  const std::function<uint32_t(const RegistryKeyView&)>& visit) {
    std::vector<std::pair<int64_t, std::wstring>> pending{{key, std::wstring()}};
    while (!pending.empty()) {
        RegistryKeyView view;
        const int64_t id = pending.back().first;
        view.path = std::move(pending.back().second);
        pending.pop_back();
        std::vector<int64_t> children;
        if (const uint32_t error = ValuesOf(db_, id, view.values); error != WinError::kSuccess) {
            return error;
        }
        if (const uint32_t error = SubKeysOf(db_, id, &children, view.subKeys); error != WinError::kSuccess) {
            return error;
        }
        if (const uint32_t error = visit(view); error != WinError::kSuccess) {
            return error;
        }
        // Pushed last to first, so that the first sub-key is visited next.
        for (std::size_t i = children.size(); recursive && i > 0; --i) {
            const std::wstring& name = view.subKeys[i - 1];
            pending.emplace_back(children[i - 1], view.path.empty() ? name : view.path + L"\\" + name);
        }
    }
    return WinError::kSuccess;
}

uint32_t RegistryStore::KeySecurity(int64_t key, std::vector<uint8_t>& security) {
    std::lock_guard guard(lock_);
    if (const uint32_t error = Refresh(); error != WinError::kSuccess) {
        return error;
    }
    security.clear();
    if (db_ == nullptr || key == kNoKey) {
        return ErrorUnlessKeyExists(key);
    }
    return ReadKeyColumn(db_, key, "SELECT security FROM keys WHERE id = ?", [&](const Statement& row) {
        if (!row.IsNull(0)) {
            security = row.Blob(0);
        }
    });
}

uint32_t RegistryStore::KeyName(int64_t key, std::wstring& name) {
    std::lock_guard guard(lock_);
    if (const uint32_t error = Refresh(); error != WinError::kSuccess) {
        return error;
    }
    if (db_ == nullptr || key == kNoKey) {
        name = key == kUsersId ? L"HKEY_USERS" : L"HKEY_LOCAL_MACHINE";
        return ErrorUnlessKeyExists(key);
    }
    return ReadKeyColumn(db_, key, "SELECT name FROM keys WHERE id = ?",
                         [&](const Statement& row) { name = row.Text(0); });
}

} // namespace ZEPMaintenance::posix
