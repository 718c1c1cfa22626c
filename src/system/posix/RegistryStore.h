// Linux side of WinRegistryKey: the settings store, one SQLite database below the machine root.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct sqlite3;

namespace ZEPMaintenance::posix {

struct RegistryValue {
    std::wstring name;
    uint32_t type = 0;
    std::vector<uint8_t> data;
};

// Keys form one tree under two hive roots; names compare case-insensitively and keep their case.
// Every method returns a Windows error number. Key ids stay valid until the key is deleted; a
// deleted key's id reports ERROR_KEY_DELETED. The id kNoKey stands for a hive that does not exist
// yet: it has no sub-keys and no values.
class RegistryStore {
public:
    enum class Hive { LocalMachine, Users };
    static constexpr int64_t kNoKey = -1;

    // The store of the current machine root, opened on first use and shared while in use.
    static std::shared_ptr<RegistryStore> ForMachineRoot(uint32_t& error);
    // <machine root>/var/lib/zepmaintenance/registry.db
    static std::string DatabasePath();

    ~RegistryStore();
    RegistryStore(const RegistryStore&) = delete;
    RegistryStore& operator=(const RegistryStore&) = delete;

    // Only root writes; everybody else reads.
    bool Writable() const { return writable_; }
    const std::string& Path() const { return path_; }

    uint32_t HiveKey(Hive hive, int64_t& id);
    // A user's hive below HKEY_USERS; a missing one is created when asked and the store is writable,
    // and otherwise reads as kNoKey.
    uint32_t UserHiveKey(const std::wstring& sid, int64_t& id, bool create);

    // subKey is a backslash-separated path relative to parent; empty means parent itself.
    uint32_t OpenKey(int64_t parent, const std::wstring& subKey, int64_t& id);
    // Creates the missing keys of the path in one transaction.
    uint32_t CreateKey(int64_t parent, const std::wstring& subKey, const std::vector<uint8_t>* security,
                       int64_t& id, bool& created);
    // Fails with ERROR_ACCESS_DENIED when the key has sub-keys or is a hive root.
    uint32_t DeleteKey(int64_t parent, const std::wstring& subKey);
    // The key, its sub-keys and all their values, in one transaction.
    uint32_t DeleteTree(int64_t parent, const std::wstring& subKey);

    uint32_t QueryValue(int64_t key, const std::wstring& name, RegistryValue& value);
    uint32_t SetValue(int64_t key, const std::wstring& name, uint32_t type, const uint8_t* data,
                      uint32_t size);
    uint32_t DeleteValue(int64_t key, const std::wstring& name);
    // Values in enumeration order (case-insensitive name order).
    uint32_t ListValues(int64_t key, std::vector<RegistryValue>& values);

    // Sub-key names in enumeration order (case-insensitive name order).
    uint32_t SubKeyCount(int64_t key, uint32_t& count, uint32_t& maxNameLength);
    uint32_t SubKeyAt(int64_t key, uint32_t index, std::wstring& name);
    uint32_t SubKeyNames(int64_t key, std::vector<std::wstring>& names);

    // The DACL a key was created with, in binary ACL form; empty when it was created without one.
    uint32_t KeySecurity(int64_t key, std::vector<uint8_t>& security);
    uint32_t KeyName(int64_t key, std::wstring& name);

private:
    RegistryStore(sqlite3* db, std::string path, bool writable);
    static uint32_t Open(const std::string& path, std::shared_ptr<RegistryStore>& store);

    class Transaction;
    // Runs body in a write transaction that is committed only when body succeeds.
    template <class Body> uint32_t Writing(Body body);
    // Runs body in a read transaction once the key is known to exist.
    template <class Body> uint32_t ReadingKey(int64_t key, Body body);
    uint32_t Exists(int64_t key);
    // The key a delete names; a hive root cannot be deleted.
    uint32_t DeletableKey(int64_t parent, const std::wstring& subKey, int64_t& id);
    uint32_t Walk(int64_t parent, const std::wstring& subKey, bool create,
                  const std::vector<uint8_t>* security, int64_t& id, bool& created);
    uint32_t ChildOf(int64_t parent, const std::wstring& name, int64_t& id);
    uint32_t DeleteSubtree(int64_t id);

    sqlite3* db_;
    std::string path_;
    bool writable_;
    std::recursive_mutex lock_;
};

// Case-insensitive form of a key or value name (simple upper-casing, as the registry compares).
std::wstring FoldRegistryName(const std::wstring& name);

} // namespace ZEPMaintenance::posix
