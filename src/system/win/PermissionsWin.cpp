// Windows side of Permissions: named security information of files and folders, and security
// attributes for creation calls.
#include "system/platform/PermissionsPrimitives.h"

#include "system/Permissions.h"

#include "base/win/WinHandle.h"
#include "system/win/LastError.h"

namespace ZEPMaintenance {

namespace {

PACL AclOf(std::vector<uint8_t>& bytes, const Dacl& dacl) {
    return dacl.IsNull() ? nullptr : reinterpret_cast<PACL>(bytes.data());
}

} // namespace

struct SecurityAttributes::Native {
    std::vector<uint8_t> acl;
    SECURITY_DESCRIPTOR descriptor{};
    SECURITY_ATTRIBUTES attributes{};
};

SecurityAttributes::SecurityAttributes(const Dacl& dacl) : dacl_(dacl), native_(std::make_unique<Native>()) {
    native_->acl = dacl_.ToAclBytes();
    InitializeSecurityDescriptor(&native_->descriptor, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&native_->descriptor, TRUE, AclOf(native_->acl, dacl_), FALSE);
    native_->attributes.nLength = sizeof(SECURITY_ATTRIBUTES);
    native_->attributes.lpSecurityDescriptor = &native_->descriptor;
    native_->attributes.bInheritHandle = FALSE;
}

SecurityAttributes::~SecurityAttributes() = default;

void* SecurityAttributes::Get() const {
    return &native_->attributes;
}

namespace platform {

CallResult SetFileDacl(const std::wstring& path, const Dacl& dacl) {
    std::vector<uint8_t> bytes = dacl.ToAclBytes();
    std::wstring name = path;
    return WithLastError(SetNamedSecurityInfoW(
        name.data(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
        nullptr, AclOf(bytes, dacl), nullptr));
}

CallResult GetFileDacl(const std::wstring& path, Dacl& dacl) {
    PACL acl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const CallResult result = WithLastError(GetNamedSecurityInfoW(
        path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
        nullptr, nullptr, &acl, nullptr, &descriptor));
    const LocalMemory heldDescriptor(descriptor);
    if (!result.Succeeded()) {
        return result;
    }
    if (acl == nullptr) {
        dacl = Dacl::Null();
        return ERROR_SUCCESS;
    }
    return Dacl::FromAclBytes(reinterpret_cast<const uint8_t*>(acl), acl->AclSize, dacl) ? ERROR_SUCCESS
                                                                                         : ERROR_INVALID_ACL;
}

CallResult SetFileOwnerSid(const std::wstring& path, const CSid& owner) {
    std::vector<uint8_t> sid = owner.GetBytes();
    std::wstring name = path;
    return WithLastError(SetNamedSecurityInfoW(name.data(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION,
                                               sid.empty() ? nullptr : sid.data(), nullptr, nullptr,
                                               nullptr));
}

CallResult GetFileOwnerSid(const std::wstring& path, CSid& owner) {
    PSID sid = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const CallResult result =
        WithLastError(GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &sid,
                                            nullptr, nullptr, nullptr, &descriptor));
    const LocalMemory heldDescriptor(descriptor);
    if (!result.Succeeded()) {
        return result;
    }
    if (sid == nullptr || !IsValidSid(sid)) {
        owner = CSid();
        return ERROR_SUCCESS;
    }
    const auto* bytes = static_cast<const uint8_t*>(sid);
    owner = CSid(std::vector<uint8_t>(bytes, bytes + GetLengthSid(sid)));
    return ERROR_SUCCESS;
}

} // namespace platform

} // namespace ZEPMaintenance
