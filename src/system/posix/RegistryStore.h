// Linux side of WinRegistryKey: the settings store, a root-only SQLite database below the machine root
// and the read-only snapshot of it that every other user reads.
#pragma once

#include "system/posix/PosixSupport.h"
#include "system/posix/RegistryDatabase.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <vector>

namespace ZEPMaintenance::posix {

struct RegistryValue {
    std::wstring name;
    uint32_t type = 0;
    std::vector<uint8_t> data;
};

// One key as a walk over a tree meets it: its path below the key the walk started at (empty for that
// key), its values and the names of its sub-keys, both in enumeration order.
struct RegistryKeyView {
    std::wstring path;
    std::vector<RegistryValue> values;
    std::vector<std::wstring> subKeys;
};

// Keys form one tree under two hive roots; names compare case-insensitively and keep their case.
// Every method returns a Windows error number. Key ids stay valid until the key is deleted; a
// deleted key's id reports ERROR_KEY_DELETED. The id kNoKey stands for a hive that does not exist
// yet: it has no sub-keys and no values.
//
// The key tree is in RegistryStore.cpp; the files (live database, snapshot, publication, the take-over
// of an earlier layout) are in RegistryStoreFiles.cpp.
class RegistryStore {
public:
    enum class Hive { LocalMachine, Users };
    static constexpr int64_t kNoKey = -1;

    // The store of the current machine root, opened on first use and shared while in use.
    [[nodiscard]] static std::shared_ptr<RegistryStore> ForMachineRoot(uint32_t& error);
    // The snapshot every user reads: <machine root>/var/lib/zepmaintenance/registry.db
    static std::string DatabasePath();
    // The database root writes, in a folder only root can enter:
    // <machine root>/var/lib/zepmaintenance/store/registry.db
    static std::string LiveDatabasePath();

    ~RegistryStore();
    RegistryStore(const RegistryStore&) = delete;
    RegistryStore& operator=(const RegistryStore&) = delete;

    // Only root writes; everybody else reads.
    bool Writable() const { return writable_; }
    const std::string& Path() const { return path_; }

    [[nodiscard]] uint32_t HiveKey(Hive hive, int64_t& id);
    // A user's hive below HKEY_USERS; a missing one is created when asked and the store is writable,
    // and otherwise reads as kNoKey.
    [[nodiscard]] uint32_t UserHiveKey(const std::wstring& sid, int64_t& id, bool create);

    // subKey is a backslash-separated path relative to parent; empty means parent itself.
    [[nodiscard]] uint32_t OpenKey(int64_t parent, const std::wstring& subKey, int64_t& id);
    // Creates the missing keys of the path in one transaction. A key deeper than the registry allows
    // (512 levels, counted as Windows counts them: the hive roots are at level 2) is refused with
    // ERROR_INVALID_PARAMETER.
    [[nodiscard]] uint32_t CreateKey(int64_t parent, const std::wstring& subKey,
                                     const std::vector<uint8_t>* security, int64_t& id, bool& created);
    // Fails with ERROR_ACCESS_DENIED when the key has sub-keys or is a hive root.
    [[nodiscard]] uint32_t DeleteKey(int64_t parent, const std::wstring& subKey);
    // The key, its sub-keys and all their values, in one transaction.
    [[nodiscard]] uint32_t DeleteTree(int64_t parent, const std::wstring& subKey);

    [[nodiscard]] uint32_t QueryValue(int64_t key, const std::wstring& name, RegistryValue& value);
    [[nodiscard]] uint32_t SetValue(int64_t key, const std::wstring& name, uint32_t type, const uint8_t* data,
                                    uint32_t size);
    [[nodiscard]] uint32_t DeleteValue(int64_t key, const std::wstring& name);
    // Values in enumeration order (case-insensitive name order).
    [[nodiscard]] uint32_t ListValues(int64_t key, std::vector<RegistryValue>& values);

    // Sub-key names in enumeration order (case-insensitive name order).
    [[nodiscard]] uint32_t SubKeyCount(int64_t key, uint32_t& count, uint32_t& maxNameLength);
    [[nodiscard]] uint32_t SubKeyAt(int64_t key, uint32_t index, std::wstring& name);
    [[nodiscard]] uint32_t SubKeyNames(int64_t key, std::vector<std::wstring>& names);
    // Visits the key and, when recursive, every key below it, each before its sub-keys and those in
    // enumeration order, all read in one read transaction; a visit that fails ends the walk with its error.
    [[nodiscard]] uint32_t ReadTree(int64_t key, bool recursive,
                                    const std::function<uint32_t(const RegistryKeyView&)>& visit);

    // Runs changes, calls of this store's own, as one change: committed and published together when
    // changes succeeds, none of them kept otherwise (nor after a crash part-way).
    [[nodiscard]] uint32_t Batch(const std::function<uint32_t()>& changes);

    // The DACL a key was created with, in binary ACL form; empty when it was created without one.
    [[nodiscard]] uint32_t KeySecurity(int64_t key, std::vector<uint8_t>& security);
    [[nodiscard]] uint32_t KeyName(int64_t key, std::wstring& name);

private:
    RegistryStore(std::string path, bool writable);
    [[nodiscard]] static uint32_t Open(const std::string& path, std::shared_ptr<RegistryStore>& store);
    // Root's side: the folders checked, an earlier layout taken over, the live database opened and a
    // stale snapshot published again.
    [[nodiscard]] uint32_t OpenLive();
    [[nodiscard]] uint32_t OpenFolders();
    // Publishes the live database as the snapshot; the caller holds the publication lock.
    [[nodiscard]] uint32_t Publish();
    [[nodiscard]] uint32_t PublishIfStale();
    // Other users' side: follows the snapshot to the one last published.
    [[nodiscard]] uint32_t Refresh();
    [[nodiscard]] uint32_t OpenSnapshot();

    // Runs change in a write transaction that is committed only when change succeeds, and then
    // publishes the snapshot.
    [[nodiscard]] uint32_t Writing(const std::function<uint32_t()>& change);
    // Brings a reader up to date and runs read in a read transaction once the key is known to exist.
    // Before the first snapshot, and in a hive not created yet, there is nothing to read: unread()
    // answers for such a key instead.
    template <class Read, class Unread>
    [[nodiscard]] uint32_t ReadingKey(int64_t key, Read read, Unread unread);
    // ERROR_KEY_DELETED for a key that no longer exists, 0 for one that does, or the error of looking.
    [[nodiscard]] uint32_t ErrorUnlessKeyExists(int64_t key);
    // The key a delete names; a hive root cannot be deleted.
    [[nodiscard]] uint32_t DeletableKey(int64_t parent, const std::wstring& subKey, int64_t& id);
    [[nodiscard]] uint32_t FindKey(int64_t parent, const std::wstring& subKey, int64_t& id);
    [[nodiscard]] uint32_t Walk(int64_t parent, const std::wstring& subKey, bool create,
                                const std::vector<uint8_t>* security, int64_t& id, bool& created);
    [[nodiscard]] uint32_t VisitTree(int64_t key, bool recursive,
                                     const std::function<uint32_t(const RegistryKeyView&)>& visit);

    Database db_;
    std::string path_;
    bool writable_;
    std::recursive_mutex lock_;
    // Inside Batch: each change joins the batch's transaction.
    bool batching_ = false;
    // Root: the store folder and the private folder, checked once and used for every file operation.
    UniqueFd storeFolder_;
    UniqueFd privateFolder_;
    // Other users: the snapshot file the connection was opened on, held so that its inode number
    // cannot be handed to a later snapshot while it is compared with the published one.
    UniqueFd snapshot_;
    dev_t snapshotDevice_ = 0;
    ino_t snapshotInode_ = 0;
};

// Case-insensitive form of a key or value name (simple upper-casing, as the registry compares).
std::wstring FoldRegistryName(const std::wstring& name);

} // namespace ZEPMaintenance::posix
