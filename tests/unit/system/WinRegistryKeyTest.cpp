// The registry key wrapper: keys, values, their codes and log lines, on the platform's registry.
#include "system/WinRegistryKey.h"

#include "base/WinError.h"
#include "diag/IMException.h"
#include "support/CapturedLog.h"
#include "support/ErrorCodeOf.h"
#include "support/MachineRoot.h"
#include "system/Permissions.h"
#include "system/WinProcess.h"
#include "system/platform/WinRegistryKeyPrimitives.h"

#include <chrono>
#include <functional>
#include <gtest/gtest.h>

namespace ZEPMaintenance {
namespace {

using test::CapturedLog;

using test::CodeOf;

class WinRegistryKeyTest : public ::testing::Test {
protected:
    void SetUp() override {
        base = L"software\\ZEP registry test " +
               std::to_wstring(std::chrono::steady_clock::now().time_since_epoch().count());
        CapturedLog log;
        WinRegistryKey key;
        ASSERT_EQ(CodeOf([&] { key.CreateKey(WinRegistryKey::LocalMachine, base); }), 0) << log.Dump();
    }
    void TearDown() override { DeleteTree(base); }

    // Leaves first: the wrapper deletes only keys without sub-keys.
    static void DeleteTree(const std::wstring& path) {
        WinRegistryKey key;
        if (!key.KeyExists(WinRegistryKey::LocalMachine, path)) {
            return;
        }
        key.Open(WinRegistryKey::LocalMachine, path, false);
        for (const std::wstring& name : key.GetSubKeyNames()) {
            DeleteTree(path + L"\\" + name);
        }
        key.Close();
        key.DeleteKey(WinRegistryKey::LocalMachine, path);
    }

    // The stored type and size of a value, straight from the platform.
    static uint32_t StoredSize(const std::wstring& path, const std::wstring& name, uint32_t& type) {
        platform::RegistryKeyHandle root;
        platform::RegistryKeyHandle key;
        EXPECT_TRUE(
            platform::OpenRegistryRoot(platform::PredefinedKey::LocalMachine, platform::kKeyRead, root)
                .Succeeded());
        EXPECT_TRUE(platform::OpenRegistryKey(root, path, platform::kKeyRead, key).Succeeded());
        uint32_t size = 0;
        EXPECT_TRUE(platform::QueryRegistryValue(key, name, &type, nullptr, &size).Succeeded());
        return size;
    }

    test::ScopedMachineRoot machine;
    std::wstring base;
};

TEST_F(WinRegistryKeyTest, NamesAreCaseInsensitiveAndKeepTheirCase) {
    WinRegistryKey key;
    key.CreateKey(WinRegistryKey::LocalMachine, base + L"\\Settings\\Product");
    key.SetStringValue(L"Path", L"C:\\Program Files\\Z.EP\\app.exe");
    key.CreateKey(WinRegistryKey::LocalMachine, base + L"\\Settings\\alpha");
    key.CreateKey(WinRegistryKey::LocalMachine, base + L"\\Settings\\Zeta");

    key.Open(WinRegistryKey::LocalMachine, base + L"\\SETTINGS\\product", true);
    EXPECT_EQ(key.GetStringValue(L"PATH"), L"C:\\Program Files\\Z.EP\\app.exe");
    // Writing under another spelling replaces the value rather than adding one.
    key.SetStringValue(L"path", L"second");
    EXPECT_EQ(key.GetStringValue(L"Path"), L"second");

    key.Open(WinRegistryKey::LocalMachine, base + L"\\settings", false);
    EXPECT_EQ(key.GetSubKeyNames(), (std::vector<std::wstring>{L"alpha", L"Product", L"Zeta"}));
    EXPECT_TRUE(key.KeyExists(WinRegistryKey::LocalMachine, base + L"\\SETTINGS\\ZETA"));
    EXPECT_FALSE(key.KeyExists(WinRegistryKey::LocalMachine, base + L"\\Settings\\Missing"));
}

TEST_F(WinRegistryKeyTest, ValuesAreListedWithTheirTypes) {
    using Values = std::vector<RegistryValueInfo>;
    WinRegistryKey key;
    key.Open(WinRegistryKey::LocalMachine, base, true);
    EXPECT_EQ(key.GetValues(), Values{});
    // Made in name order, so that the order holds where enumeration follows creation as well.
    key.SetStringValue(L"", L"default");
    key.SetStringValue(L"alpha", L"1");
    const uint32_t number = 7;
    key.SetValue(L"Beta", platform::kRegDword, &number, sizeof number);
    key.SetValue(L"gamma", platform::kRegBinary, nullptr, 0);
    key.SetStringValue(std::wstring(300, L'z'), L"long name");
    // Reading is enough.
    key.Open(WinRegistryKey::LocalMachine, base, false);
    EXPECT_EQ(key.GetValues(), (Values{{L"", platform::kRegSz},
                                       {L"alpha", platform::kRegSz},
                                       {L"Beta", platform::kRegDword},
                                       {L"gamma", platform::kRegBinary},
                                       {std::wstring(300, L'z'), platform::kRegSz}}));
}

TEST_F(WinRegistryKeyTest, StringValuesAreReadAsTheRegistryStoresThem) {
    WinRegistryKey key;
    key.Open(WinRegistryKey::LocalMachine, base, true);

    // Stored without its terminating NUL: the full text still comes back.
    const std::wstring text = L"žluťoučký";
    std::vector<uint8_t> bytes;
    for (const wchar_t c : text) {
        bytes.push_back(static_cast<uint8_t>(c));
        bytes.push_back(static_cast<uint8_t>(c >> 8));
    }
    key.SetValue(L"unterminated", platform::kRegSz, bytes.data(), static_cast<uint32_t>(bytes.size()));
    EXPECT_EQ(key.GetStringValue(L"unterminated"), text);

    // A DWORD is read as its bytes taken for text.
    const uint32_t letter = 0x41;
    key.SetValue(L"number", platform::kRegDword, &letter, sizeof letter);
    EXPECT_EQ(key.GetStringValue(L"number"), L"A");

    // The empty string is its terminator alone; text after an embedded NUL is not returned.
    key.SetStringValue(L"empty", L"");
    uint32_t type = 0;
    EXPECT_EQ(StoredSize(base, L"empty", type), 2u);
    EXPECT_EQ(type, platform::kRegSz);
    EXPECT_EQ(key.GetStringValue(L"empty"), L"");
    key.SetStringValue(L"", L"default value");
    EXPECT_EQ(key.GetStringValue(L""), L"default value");
    EXPECT_EQ(StoredSize(base, L"", type), 2u * (13 + 1));
    const uint8_t embedded[] = {'a', 0, 0, 0, 'b', 0, 0, 0};
    key.SetValue(L"embedded", platform::kRegSz, embedded, sizeof embedded);
    EXPECT_EQ(key.GetStringValue(L"embedded"), L"a");
}

TEST_F(WinRegistryKeyTest, ValueFailuresCarryTheirCodesAndLines) {
    CapturedLog log;
    WinRegistryKey key;
    EXPECT_EQ(CodeOf([&] { key.GetStringValue(L"x"); }), 124);
    EXPECT_TRUE(log.Has(LevelError, L"GetStringValue: No registry key opened."));
    const uint32_t zero = 0;
    EXPECT_EQ(CodeOf([&] { key.SetValue(L"x", platform::kRegDword, &zero, 4); }), 124);
    EXPECT_TRUE(log.Has(LevelError, L"SetValue: No registry key opened."));
    EXPECT_EQ(CodeOf([&] { key.DeleteValue(L"x"); }), 125);
    EXPECT_TRUE(log.Has(LevelError, L"DeleteValue: No registry key opened."));
    EXPECT_EQ(CodeOf([&] { key.GetSubKeyNames(); }), 124);
    EXPECT_TRUE(log.Has(LevelError, L"GetSubKeyNames: No registry key opened."));
    EXPECT_EQ(CodeOf([&] { key.GetValues(); }), 124);
    EXPECT_TRUE(log.Has(LevelError, L"GetValues: No registry key opened."));

    key.Open(WinRegistryKey::LocalMachine, base, true);
    EXPECT_EQ(CodeOf([&] { key.GetStringValue(L"missing"); }), 122);
    EXPECT_TRUE(log.Contains(L"GetStringValue: RegQueryValueEx (first call) failed. ValueName not found. "
                             L"(valueName: missing, returnedError: 2, lastError: "));
    EXPECT_EQ(CodeOf([&] { key.DeleteValue(L"missing"); }), 125);
    EXPECT_TRUE(
        log.Contains(L"DeleteValue: RegDeleteValueW failed. (valueName: missing, returnedError: 2, "));
    key.SetStringValue(L"present", L"1");
    key.DeleteValue(L"PRESENT");
    EXPECT_EQ(CodeOf([&] { key.GetStringValue(L"present"); }), 122);

    // A key opened for reading takes no values.
    key.Open(WinRegistryKey::LocalMachine, base, false);
    EXPECT_EQ(CodeOf([&] { key.SetStringValue(L"x", L"y"); }), 121);
    EXPECT_TRUE(log.Contains(L"(valueName: x, valueType: 1, returnedError: 5, lastError: "));
    EXPECT_EQ(key.GetSubKeyNames(), std::vector<std::wstring>{});
}

TEST_F(WinRegistryKeyTest, KeyFailuresCarryTheirCodesAndLines) {
    CapturedLog log;
    WinRegistryKey key;
    EXPECT_EQ(CodeOf([&] { key.Open(7, base, false); }), 100);
    EXPECT_TRUE(log.Has(LevelError, L"GetRootKey: bad root param. (root: 7)"));
    EXPECT_EQ(CodeOf([&] { key.KeyExists(4, base); }), 100);

    EXPECT_EQ(CodeOf([&] { key.Open(WinRegistryKey::LocalMachine, base + L"\\missing", false); }), 118);
    EXPECT_TRUE(log.Contains(L"Open: RegOpenKeyEx failed. (returnedError: 2, lastError: "));
    EXPECT_FALSE(key.IsOpen());
    EXPECT_EQ(key.GetLastError(), 2);

    // Creating an existing key fails but leaves it open.
    EXPECT_EQ(CodeOf([&] { key.CreateKey(WinRegistryKey::LocalMachine, base); }), 123);
    EXPECT_TRUE(log.Contains(L"CreateKey: Registry key already exists. (root: 1, subkey: " + base +
                             L", returnedError: 0, lastError: "));
    EXPECT_TRUE(key.IsOpen());
    key.SetStringValue(L"kept", L"open");

    // A key with sub-keys is not deleted; a missing one neither.
    key.CreateKey(WinRegistryKey::LocalMachine, base + L"\\child");
    EXPECT_EQ(CodeOf([&] { key.DeleteKey(WinRegistryKey::LocalMachine, base); }), 119);
    EXPECT_TRUE(log.Contains(L"DeleteKey: RegDeleteKeyEx failed. (returnedError: 5, lastError: "));
    EXPECT_EQ(CodeOf([&] { key.DeleteKey(WinRegistryKey::LocalMachine, base + L"\\missing"); }), 119);
    EXPECT_TRUE(log.Contains(L"DeleteKey: RegDeleteKeyEx failed. (returnedError: 2, lastError: "));

    // KeyExists closes what the object held before.
    EXPECT_TRUE(key.IsOpen());
    EXPECT_TRUE(key.KeyExists(WinRegistryKey::LocalMachine, base + L"\\child"));
    EXPECT_FALSE(key.IsOpen());
}

TEST_F(WinRegistryKeyTest, AHandleToADeletedKeyFails) {
    WinRegistryKey held;
    held.CreateKey(WinRegistryKey::LocalMachine, base + L"\\doomed");
    WinRegistryKey other;
    other.DeleteKey(WinRegistryKey::LocalMachine, base + L"\\DOOMED");
    EXPECT_EQ(CodeOf([&] { held.SetStringValue(L"x", L"y"); }), 121);
    EXPECT_FALSE(other.KeyExists(WinRegistryKey::LocalMachine, base + L"\\doomed"));
    // Keys created afterwards, under another name or the same one, are new keys the old handle
    // never reaches.
    for (const wchar_t* name : {L"\\innocent", L"\\doomed"}) {
        other.CreateKey(WinRegistryKey::LocalMachine, base + name);
        EXPECT_EQ(CodeOf([&] { held.SetStringValue(L"x", L"y"); }), 121) << name;
        EXPECT_EQ(CodeOf([&] { held.GetStringValue(L"x"); }), 122) << name;
        WinRegistryKey check;
        check.Open(WinRegistryKey::LocalMachine, base + name, false);
        EXPECT_EQ(CodeOf([&] { check.GetStringValue(L"x"); }), 122) << name;
    }
}

TEST_F(WinRegistryKeyTest, UserHiveOperationsWorkBelowTheUsersSid) {
    CapturedLog log;
    WinProcess self;
    self.OpenCurrentProcess();
    const CSid user = self.GetOwner();
    const std::wstring sub = base.substr(base.find(L'\\') + 1);
    const std::wstring path = L"Software\\" + sub;

    Permissions permissions;
    permissions.AddAllowedAce(CSid::Administrators(), 0xF003F);
    permissions.AddAllowedAce(CSid::Users(), 0x20019);
    WinRegistryKey key;
    key.CreateKey(user, path, &permissions);
    EXPECT_EQ(key.GetRoot(), 2);
    EXPECT_EQ(key.GetSubKey(), user.Sid() + L"\\" + path);
    key.SetStringValue(L"value", L"hive");
    key.CreateKey(user, path + L"\\inner");

    EXPECT_TRUE(key.KeyExists(user, path + L"\\INNER"));
    key.Open(user, path);
    EXPECT_EQ(key.GetStringValue(L"VALUE"), L"hive");

    EXPECT_EQ(CodeOf([&] { key.CreateKey(user, path); }), 123);
    EXPECT_TRUE(log.Contains(L"CreateKey: Registry key already exists. (root: 2, subkey: " + user.Sid()));
    EXPECT_EQ(CodeOf([&] { key.DeleteKey(user, path); }), 119);
    key.DeleteKey(user, path + L"\\inner");
    key.Close();
    key.DeleteKey(user, path);
    EXPECT_FALSE(key.KeyExists(user, path));
    EXPECT_EQ(CodeOf([&] { key.Open(user, path); }), 118);
}

} // namespace
} // namespace ZEPMaintenance
