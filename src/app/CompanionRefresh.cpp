// Maintenance::RefreshZEPPKIServiceRegistryKeys: the companion service's browser host registrations and
// the trusted sites, written into the hive of the user of -usid.
#include "app/Maintenance.h"
#include "app/TrustedSites.h"
#include "diag/IMException.h"
#include "system/Dacl.h"
#include "system/Permissions.h"
#include "system/WinRegistryKey.h"

namespace ZEPMaintenance {

namespace {

constexpr const wchar_t* kHostRegistrations[] = {
    L"Software\\Google\\Chrome\\NativeMessagingHosts\\zz.zep.zeppkiservice.host",
    L"Software\\Mozilla\\NativeMessagingHosts\\zz.zep.zeppkiservice.host",
};
constexpr const wchar_t kTrustedSitePath[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\ZoneMap\\Domains\\";
constexpr const wchar_t kTrustedZonePath[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\Zones\\2";
constexpr uint32_t kTrustedZone = 2;
constexpr uint32_t kTrustedZoneFlags = 0x43;

struct TrustedSite {
    const wchar_t* domain;
    bool http; // "https" always; "http" as well where set
};
constexpr TrustedSite kTrustedSites[] = {
    {ZEP_TRUSTED_SITE_DOMAIN_1, true},  {ZEP_TRUSTED_SITE_DOMAIN_2, false},
    {ZEP_TRUSTED_SITE_DOMAIN_3, false}, {ZEP_TRUSTED_SITE_DOMAIN_4, false},
    {ZEP_TRUSTED_SITE_DOMAIN_5, true},  {ZEP_TRUSTED_SITE_DOMAIN_6, false},
    {ZEP_TRUSTED_SITE_DOMAIN_7, true},
};

void SetDword(WinRegistryKey& key, const wchar_t* name, uint32_t number) {
    key.SetValue(name, platform::kRegDword, &number, sizeof number);
}

} // namespace

void Maintenance::RefreshZEPPKIServiceRegistryKeys() {
    Permissions hostKeys;
    hostKeys.AddAllowedAce(CSid::Administrators(), AccessMask::kKeyAllAccess);
    hostKeys.AddAllowedAce(CSid::Users(), AccessMask::kKeyRead);
    if (!userSid.IsValid()) {
        logger.ErrorText(L"RefreshZEPPKIServiceRegistryKeys: User SID is not valid.");
        ThrowIMException(ErrorCode::kInvalidValue);
    }

    // Both machine-wide registrations are read before anything of the user's is touched.
    WinRegistryKey key;
    std::wstring manifests[std::size(kHostRegistrations)];
    for (std::size_t i = 0; i < std::size(kHostRegistrations); ++i) {
        key.Open(WinRegistryKey::LocalMachine, kHostRegistrations[i], false);
        manifests[i] = key.GetStringValue(L"");
    }

    // Recreated, so that the key holds the registration alone, with the permissions above.
    for (std::size_t i = 0; i < std::size(kHostRegistrations); ++i) {
        if (key.KeyExists(userSid, kHostRegistrations[i])) {
            key.DeleteKey(userSid, kHostRegistrations[i]);
        }
        key.CreateKey(userSid, kHostRegistrations[i], &hostKeys);
        key.SetStringValue(L"", manifests[i]);
    }

    // Kept where they are, with whatever else other software wrote into them.
    for (const TrustedSite& site : kTrustedSites) {
        const std::wstring path = kTrustedSitePath + std::wstring(L"*.") + site.domain;
        if (key.KeyExists(userSid, path)) {
            key.Open(userSid, path);
        } else {
            key.CreateKey(userSid, path);
        }
        if (site.http) {
            SetDword(key, L"http", kTrustedZone);
        }
        SetDword(key, L"https", kTrustedZone);
    }

    key.Open(userSid, kTrustedZonePath);
    SetDword(key, L"Flags", kTrustedZoneFlags);
    key.Close();
}

} // namespace ZEPMaintenance
