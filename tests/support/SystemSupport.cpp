// Test support for the system wrappers: permission sets and small files.
#include "support/SystemSupport.h"

#include "system/Dacl.h"
#include "system/platform/Sha1HashPrimitives.h"

#include <filesystem>
#include <fstream>
#include <iterator>

namespace ZEPMaintenance::test {

void EnsureCryptoProvider() {
    if (!platform::IsCryptoProviderAcquired()) {
        Sha1Hash::Initialize();
    }
}

Permissions BackupFileSet() {
    Permissions permissions;
    permissions.AddAllowedAce(CSid::Administrators(), AccessMask::kFileAllAccess);
    permissions.AddAllowedAce(CSid::Users(), AccessMask::kFileReadAndExecute);
    return permissions;
}

void WriteTextFile(const std::wstring& fullPath, const std::string& text) {
    std::ofstream stream(std::filesystem::path(fullPath), std::ios::binary | std::ios::trunc);
    stream << text;
}

std::string ReadTextFile(const std::wstring& fullPath) {
    std::ifstream stream(std::filesystem::path(fullPath), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>());
}

} // namespace ZEPMaintenance::test
