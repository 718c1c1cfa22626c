// Test support for the system wrappers: permission sets and small files.
#include "support/SystemSupport.h"

#include "base/Platform.h"
#include "system/Dacl.h"
#include "system/Text.h"
#include "system/platform/Sha1HashPrimitives.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

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

std::wstring UpgradeFixture(const wchar_t* name) {
    const std::wstring sep(1, platform::kPathSeparator);
    return GetModuleDirectory() + sep + L"upgrade-fixtures" + sep + name;
}

void WriteTextFile(const std::wstring& fullPath, const std::string& text) {
    std::ofstream stream(std::filesystem::path(fullPath), std::ios::binary | std::ios::trunc);
    stream << text;
}

std::string ReadTextFile(const std::wstring& fullPath) {
    std::ifstream stream(std::filesystem::path(fullPath), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>());
}

std::vector<std::string> ReadLines(const std::wstring& fullPath) {
    std::vector<std::string> lines;
    std::istringstream text(ReadTextFile(fullPath));
    for (std::string line; std::getline(text, line);) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        lines.push_back(line);
    }
    return lines;
}

std::map<std::string, std::string> TreeContent(const std::filesystem::path& root) {
    std::map<std::string, std::string> tree;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
        const std::string name = entry.path().lexically_relative(root).generic_string();
        if (entry.is_directory()) {
            tree[name + "/"] = "";
        } else {
            tree[name] = ReadTextFile(entry.path().wstring());
        }
    }
    return tree;
}

} // namespace ZEPMaintenance::test
