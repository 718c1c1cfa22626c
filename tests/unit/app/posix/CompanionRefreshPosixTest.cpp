// The companion refresh on a scratch machine: what it writes into a user's hive, and where it stops.
#include "app/Maintenance.h"
#include "base/WinError.h"
#include "support/CapturedLog.h"
#include "support/ErrorCodeOf.h"
#include "support/MachineRoot.h"
#include "system/Dacl.h"
#include "system/WinRegistryKey.h"
#include "system/posix/RegistryStore.h"

#include <gtest/gtest.h>

namespace ZEPMaintenance {
namespace {

const std::wstring kChrome = L"Software\\Google\\Chrome\\NativeMessagingHosts\\zz.zep.zeppkiservice.host";
const std::wstring kFirefox = L"Software\\Mozilla\\NativeMessagingHosts\\zz.zep.zeppkiservice.host";
const std::wstring kSites =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\ZoneMap\\Domains\\";
const std::wstring kZone = L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\Zones\\2";
const CSid kUser(5, {21, 1, 2, 3, 1001});

void Write(int32_t root, const std::wstring& path, const std::wstring& name, const std::wstring& text) {
    WinRegistryKey key;
    if (key.KeyExists(root, path)) {
        key.Open(root, path, true);
    } else {
        key.CreateKey(root, path);
    }
    key.SetStringValue(name, text);
}

// The user's key as "name=type" pairs, or "none" when it does not exist.
std::wstring ValuesOf(const std::wstring& path) {
    WinRegistryKey key;
    if (!key.KeyExists(kUser, path)) {
        return L"none";
    }
    key.Open(kUser, path);
    std::wstring listed;
    for (const RegistryValueInfo& value : key.GetValues()) {
        listed +=
            (value.name.empty() ? L"(default)" : value.name) + L"=" + std::to_wstring(value.type) + L";";
    }
    return listed;
}

TEST(CompanionRefreshTest, WritesTheUsersKeysAndStopsWhereASourceOrTheZoneIsMissing) {
    const struct {
        const char* what;
        bool withSid;
        bool firefoxRegistered;
        bool zoneExists;
        int32_t code;
        const wchar_t* chrome;      // the user's Chrome key afterwards
        const wchar_t* trustedSite; // the first trusted site afterwards
    } cases[] = {
        {"everything in place", true, true, true, 0, L"(default)=1;", L"ftp=4;http=4;https=4;"},
        {"no -usid", false, true, true, ErrorCode::kInvalidValue, L"stale=1;", L"ftp=4;"},
        {"Firefox not registered for the machine", true, false, true, ErrorCode::kRegistryOpenFailed,
         L"stale=1;", L"ftp=4;"},
        {"no trusted-sites zone in the hive", true, true, false, ErrorCode::kRegistryOpenFailed,
         L"(default)=1;", L"ftp=4;http=4;https=4;"},
    };
    for (const auto& entry : cases) {
        SCOPED_TRACE(entry.what);
        test::ScopedMachineRoot machine;
        Write(WinRegistryKey::LocalMachine, kChrome, L"", L"/opt/zep/chrome.json");
        if (entry.firefoxRegistered) {
            Write(WinRegistryKey::LocalMachine, kFirefox, L"", L"/opt/zep/firefox.json");
        }
        WinRegistryKey user;
        user.CreateKey(kUser, kChrome);
        user.SetStringValue(L"stale", L"old");
        user.CreateKey(kUser, kSites + L"*.example.com");
        const uint32_t one = 1;
        user.SetValue(L"ftp", platform::kRegDword, &one, sizeof one);
        if (entry.zoneExists) {
            user.CreateKey(kUser, kZone);
        }
        user.Close();

        test::CapturedLog log;
        Maintenance worker;
        if (entry.withSid) {
            worker.userSid = kUser;
        }
        EXPECT_EQ(test::CodeOf([&] { worker.RefreshZEPPKIServiceRegistryKeys(); }), entry.code);
        EXPECT_EQ(ValuesOf(kChrome), entry.chrome);
        EXPECT_EQ(ValuesOf(kSites + L"*.example.com"), entry.trustedSite);
        if (!entry.withSid) {
            EXPECT_TRUE(log.Has(LevelError, L"RefreshZEPPKIServiceRegistryKeys: User SID is not valid."));
        }
        if (entry.code == 0) {
            EXPECT_EQ(ValuesOf(kFirefox), L"(default)=1;");
            EXPECT_EQ(ValuesOf(kSites + L"*.example.net"), L"https=4;");
            EXPECT_EQ(ValuesOf(kSites + L"*.ca.example"), L"http=4;https=4;");
            EXPECT_EQ(ValuesOf(kZone), L"Flags=4;");
            WinRegistryKey chrome;
            chrome.Open(kUser, kChrome);
            EXPECT_EQ(chrome.GetStringValue(L""), L"/opt/zep/chrome.json");
        }
    }
}

// The host keys are recreated with their own DACL: administrators all access, users read.
TEST(CompanionRefreshTest, TheHostKeysCarryTheirDacl) {
    test::ScopedMachineRoot machine;
    Write(WinRegistryKey::LocalMachine, kChrome, L"", L"c");
    Write(WinRegistryKey::LocalMachine, kFirefox, L"", L"f");
    WinRegistryKey user;
    user.CreateKey(kUser, kZone);
    user.Close();
    Maintenance worker;
    worker.userSid = kUser;
    worker.RefreshZEPPKIServiceRegistryKeys();

    uint32_t error = 0;
    const std::shared_ptr<posix::RegistryStore> store = posix::RegistryStore::ForMachineRoot(error);
    ASSERT_TRUE(store) << error;
    int64_t users = 0;
    int64_t key = 0;
    ASSERT_EQ(store->HiveKey(posix::RegistryStore::Hive::Users, users), WinError::kSuccess);
    for (const std::wstring& path : {kChrome, kFirefox}) {
        ASSERT_EQ(store->OpenKey(users, kUser.Sid() + L"\\" + path, key), WinError::kSuccess);
        std::vector<uint8_t> security;
        ASSERT_EQ(store->KeySecurity(key, security), WinError::kSuccess);
        Dacl dacl = Dacl::Null();
        ASSERT_TRUE(Dacl::FromAclBytes(security.data(), security.size(), dacl));
        ASSERT_EQ(dacl.Entries().size(), 2u);
        EXPECT_EQ(dacl.Entries()[0].sid, CSid::Administrators());
        EXPECT_EQ(dacl.Entries()[0].mask, AccessMask::kKeyAllAccess);
        EXPECT_EQ(dacl.Entries()[1].sid, CSid::Users());
        EXPECT_EQ(dacl.Entries()[1].mask, AccessMask::kKeyRead);
    }
}

} // namespace
} // namespace ZEPMaintenance
