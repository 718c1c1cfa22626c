// Test support for the system wrappers: the backup permission set, small files, the Wine check.
#pragma once

#include "system/Permissions.h"
#include "system/Sha1Hash.h"

#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace ZEPMaintenance::test {

// The process-wide crypto provider that hashing needs, acquired once as the entry point does.
void EnsureCryptoProvider();

// Builtin Administrators full access, then Builtin Users read and execute.
Permissions BackupFileSet();

// Writes text to a file, replacing it.
void WriteTextFile(const std::wstring& fullPath, const std::string& text);
std::string ReadTextFile(const std::wstring& fullPath);
// The file's lines without their line ends ("\n" or "\r\n").
std::vector<std::string> ReadLines(const std::wstring& fullPath);
// Every file below root by its relative path ('/'-separated) with its content; a folder as "name/".
std::map<std::string, std::string> TreeContent(const std::filesystem::path& root);

// A file of the manifest tests' fixtures (unit/upgrade/fixtures), copied next to the test program.
std::wstring UpgradeFixture(const wchar_t* name);

// True inside Wine (ntdll exports wine_get_version), which keeps no file DACLs.
bool RunningUnderWine();

inline constexpr const char* kWineKeepsNoDacls = "Wine keeps no file DACLs";

// Why file DACLs and owners cannot be written and read back here, or null when they can: Wine keeps
// none; on Linux the trusted.* attributes and chown need root.
const char* FileDaclSkipReason();

} // namespace ZEPMaintenance::test
