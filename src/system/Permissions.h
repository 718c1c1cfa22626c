// One DACL moved between memory and files or folders, its comparison, and file owners.
#pragma once

#include "diag/Logger.h"
#include "system/CSid.h"
#include "system/Dacl.h"
#include "system/platform/ServicePrimitives.h"

#include <cstdint>
#include <memory>
#include <string>

namespace ZEPMaintenance {

// Security attributes for a creation call: owns a descriptor whose DACL is a copy of the given one.
class SecurityAttributes {
public:
    explicit SecurityAttributes(const Dacl& dacl);
    ~SecurityAttributes();
    SecurityAttributes(const SecurityAttributes&) = delete;
    SecurityAttributes& operator=(const SecurityAttributes&) = delete;

    const Dacl& GetDacl() const { return dacl_; }
    // The platform's SECURITY_ATTRIBUTES (handle inheritance off) on Windows; null on Linux, whose
    // stand-ins take the DACL itself.
    void* Get() const;

private:
    struct Native;
    Dacl dacl_;
    std::unique_ptr<Native> native_;
};

class Permissions {
public:
    Permissions();
    explicit Permissions(const Dacl& dacl);
    Permissions(const Permissions& other);
    Permissions& operator=(const Permissions& other);

    // Appends an access-allowed entry inheritable by files and folders (flags 0x03).
    void AddAllowedAce(const CSid& sid, uint32_t mask);
    // Entry by entry, in order: SID, mask and type; inheritance flags are not compared.
    bool EqualPermissions(const Permissions& other) const;

    void SavePermissionsToFile(const std::wstring& path) const;
    void LoadPermissionsFromFile(const std::wstring& path);
    // The DACL of a service the service wrapper opened; an empty handle fails as the platform call would.
    void SavePermissionsToService(const platform::ServiceHandle& service) const;
    void LoadPermissionsFromService(const platform::ServiceHandle& service);

    // Newly allocated attributes for creating an object with this DACL.
    std::unique_ptr<SecurityAttributes> GetSecurityAttributes() const;

    const Dacl& GetDacl() const { return dacl; }

    static void SetFileOwner(const std::wstring& path, const CSid& owner);
    static CSid GetFileOwner(const std::wstring& path);

private:
    Logger logger{L"Permissions"};
    Dacl dacl;
};

} // namespace ZEPMaintenance
