// zepreg: queries and changes the Linux program's settings store the way the Windows registry tool does.
//   zepreg query  KEY [/v NAME | /ve] [/s]
//   zepreg add    KEY [/v NAME | /ve] [/t TYPE] [/d DATA] [/f]
//   zepreg delete KEY [/v NAME | /ve] /f
//   zepreg --help
// KEY starts with HKLM, HKU or HKCU (or their long names). Exit code 0 on success, 1 on failure.
#include "base/Utf16.h"
#include "base/WinError.h"
#include "system/Text.h"
#include "system/WinRegistryKey.h"
#include "system/posix/RegistryStore.h"
#include "system/posix/UserSid.h"

#include <cstdio>
#include <cwctype>
#include <memory>
#include <optional>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using ZEPMaintenance::posix::RegistryStore;
using ZEPMaintenance::posix::RegistryValue;
namespace WinError = ZEPMaintenance::WinError;
namespace platform = ZEPMaintenance::platform;

struct Options {
    std::wstring command;
    std::wstring key;
    std::optional<std::wstring> value; // "" for the default value
    bool recursive = false;
    bool force = false;
    std::wstring type = L"REG_SZ";
    std::wstring data;
};

struct KeyPath {
    std::wstring rootName;
    int64_t root = 0;
    std::wstring path;
};

constexpr struct {
    const wchar_t* name;
    uint32_t type;
} kTypes[] = {
    {L"REG_NONE", platform::kRegNone},          {L"REG_SZ", platform::kRegSz},
    {L"REG_EXPAND_SZ", platform::kRegExpandSz}, {L"REG_BINARY", platform::kRegBinary},
    {L"REG_DWORD", platform::kRegDword},        {L"REG_MULTI_SZ", platform::kRegMultiSz},
    {L"REG_QWORD", platform::kRegQword},
};

void Print(const std::wstring& text) {
    std::fputs(ZEPMaintenance::WideToMultiByte(text, ZEPMaintenance::kUtf8CodePage).c_str(), stdout);
    std::fputc('\n', stdout);
}

int Fail(const std::wstring& text) {
    std::fputs(ZEPMaintenance::WideToMultiByte(L"ERROR: " + text, ZEPMaintenance::kUtf8CodePage).c_str(),
               stderr);
    std::fputc('\n', stderr);
    return 1;
}

int FailWith(uint32_t error) {
    switch (error) {
    case WinError::kFileNotFound:
    case WinError::kPathNotFound:
        return Fail(L"The system was unable to find the specified registry key or value.");
    case WinError::kAccessDenied:
        return Fail(L"Access is denied.");
    case WinError::kBusy:
        return Fail(L"The settings store is busy.");
    default:
        return Fail(L"The registry operation failed. (error " + std::to_wstring(error) + L")");
    }
}

constexpr const wchar_t* kSyntax =
    L"  zepreg query  KEY [/v NAME | /ve] [/s]\n"
    L"  zepreg add    KEY [/v NAME | /ve] [/t REG_SZ|REG_EXPAND_SZ|REG_DWORD|REG_QWORD|REG_BINARY|"
    L"REG_MULTI_SZ] [/d DATA] [/f]\n"
    L"  zepreg delete KEY [/v NAME | /ve] /f";

int Usage() {
    return Fail(std::wstring(L"Invalid syntax.\n") + kSyntax);
}

// Asked for: the syntax on standard output, and success.
int Help() {
    Print(std::wstring(L"Usage:\n") + kSyntax +
          L"\nKEY starts with HKLM, HKU or HKCU (or their long names). The store lies below\n"
          L"ZEP_MACHINE_ROOT (default /); only root changes it. Exit code 0 done, 1 failed.");
    return 0;
}

std::wstring Upper(std::wstring text) {
    for (wchar_t& c : text) {
        c = static_cast<wchar_t>(std::towupper(static_cast<wint_t>(c)));
    }
    return text;
}

bool ParseOptions(int argc, char** argv, Options& options) {
    if (argc < 3) {
        return false;
    }
    options.command = Upper(ZEPMaintenance::Utf8ToWide(argv[1]));
    options.key = ZEPMaintenance::Utf8ToWide(argv[2]);
    for (int i = 3; i < argc; ++i) {
        const std::wstring text = ZEPMaintenance::Utf8ToWide(argv[i]);
        if (text.size() < 2 || (text[0] != L'/' && text[0] != L'-')) {
            return false;
        }
        const std::wstring option = Upper(text.substr(1));
        const bool hasNext = i + 1 < argc;
        if (option == L"V" && hasNext) {
            options.value = ZEPMaintenance::Utf8ToWide(argv[++i]);
        } else if (option == L"VE") {
            options.value = L"";
        } else if (option == L"S") {
            options.recursive = true;
        } else if (option == L"F") {
            options.force = true;
        } else if (option == L"T" && hasNext) {
            options.type = Upper(ZEPMaintenance::Utf8ToWide(argv[++i]));
        } else if (option == L"D" && hasNext) {
            options.data = ZEPMaintenance::Utf8ToWide(argv[++i]);
        } else {
            return false;
        }
    }
    return true;
}

// Every name of the path must be non-empty; one trailing backslash is allowed.
bool ValidKeyPath(const std::wstring& path) {
    if (path.empty()) {
        return true;
    }
    const std::wstring trimmed = path.back() == L'\\' ? path.substr(0, path.size() - 1) : path;
    return !trimmed.empty() && trimmed.front() != L'\\' && trimmed.back() != L'\\' &&
           trimmed.find(L"\\\\") == std::wstring::npos;
}

// A user's hive is created only by a command that writes, so a query leaves the store untouched.
uint32_t ParseKey(RegistryStore& store, const std::wstring& text, bool create, KeyPath& key) {
    const std::size_t separator = text.find(L'\\');
    const std::wstring root = Upper(text.substr(0, separator));
    key.path = separator == std::wstring::npos ? std::wstring() : text.substr(separator + 1);
    if (!ValidKeyPath(key.path)) {
        return WinError::kInvalidParameter;
    }
    if (root == L"HKLM" || root == L"HKEY_LOCAL_MACHINE") {
        key.rootName = L"HKEY_LOCAL_MACHINE";
        return store.HiveKey(RegistryStore::Hive::LocalMachine, key.root);
    }
    if (root == L"HKU" || root == L"HKEY_USERS") {
        key.rootName = L"HKEY_USERS";
        return store.HiveKey(RegistryStore::Hive::Users, key.root);
    }
    if (root == L"HKCU" || root == L"HKEY_CURRENT_USER") {
        key.rootName = L"HKEY_CURRENT_USER";
        return store.UserHiveKey(
            ZEPMaintenance::posix::SidOfUser(getuid(), ZEPMaintenance::posix::OwnerOf::Process).Sid(),
            key.root, create);
    }
    return WinError::kInvalidParameter;
}

// The path with each name spelled as stored.
uint32_t StoredPath(RegistryStore& store, const KeyPath& key, int64_t& id, std::wstring& spelled) {
    spelled = key.rootName;
    id = key.root;
    std::size_t start = 0;
    while (start < key.path.size()) {
        std::size_t end = key.path.find(L'\\', start);
        if (end == std::wstring::npos) {
            end = key.path.size();
        }
        int64_t child = 0;
        uint32_t result = store.OpenKey(id, key.path.substr(start, end - start), child);
        std::wstring name;
        if (result == WinError::kSuccess) {
            result = store.KeyName(child, name);
        }
        if (result != WinError::kSuccess) {
            return result;
        }
        id = child;
        spelled += L"\\" + name;
        start = end + 1;
    }
    return WinError::kSuccess;
}

std::wstring TypeName(uint32_t type) {
    for (const auto& entry : kTypes) {
        if (entry.type == type) {
            return entry.name;
        }
    }
    wchar_t text[24];
    std::swprintf(text, 24, L"REG_0x%x", type);
    return text;
}

std::wstring Hex(uint64_t number) {
    wchar_t text[24];
    std::swprintf(text, 24, L"0x%llx", static_cast<unsigned long long>(number));
    return text;
}

std::wstring DataText(const RegistryValue& value) {
    const std::vector<uint8_t>& data = value.data;
    std::vector<uint8_t> padded = data;
    padded.resize(data.size() + 2, 0);
    switch (value.type) {
    case platform::kRegSz:
    case platform::kRegExpandSz: {
        const std::wstring text = ZEPMaintenance::WideFromUtf16Le(padded.data(), (data.size() + 1) / 2);
        return std::wstring(text.c_str());
    }
    case platform::kRegMultiSz: {
        std::wstring text = ZEPMaintenance::WideFromUtf16Le(padded.data(), (data.size() + 1) / 2);
        while (!text.empty() && text.back() == L'\0') {
            text.pop_back();
        }
        std::wstring joined;
        for (const wchar_t c : text) {
            joined += c == L'\0' ? std::wstring(L"\\0") : std::wstring(1, c);
        }
        return joined;
    }
    case platform::kRegDword:
    case platform::kRegQword:
        if (data.size() == (value.type == platform::kRegDword ? 4u : 8u)) {
            uint64_t number = 0;
            for (std::size_t i = data.size(); i > 0; --i) {
                number = number << 8 | data[i - 1];
            }
            return Hex(number);
        }
        [[fallthrough]];
    default: {
        std::wstring hex;
        for (const uint8_t byte : data) {
            wchar_t pair[3];
            std::swprintf(pair, 3, L"%02X", byte);
            hex += pair;
        }
        return hex;
    }
    }
}

void PrintValue(const RegistryValue& value) {
    const std::wstring name = value.name.empty() ? L"(Default)" : value.name;
    Print(L"    " + name + L"    " + TypeName(value.type) + L"    " + DataText(value));
}

// The key with its values, then its sub-keys: their names, or with /s each of them listed in turn. The
// store walks the tree in one read transaction and without recursion, whatever its depth.
uint32_t QueryKey(RegistryStore& store, int64_t id, const std::wstring& spelled, bool recursive) {
    return store.ReadTree(id, recursive, [&](const ZEPMaintenance::posix::RegistryKeyView& key) {
        const std::wstring path = key.path.empty() ? spelled : spelled + L"\\" + key.path;
        Print(path);
        for (const RegistryValue& value : key.values) {
            PrintValue(value);
        }
        Print(L"");
        if (!recursive) {
            for (const std::wstring& name : key.subKeys) {
                Print(path + L"\\" + name);
            }
        }
        return static_cast<uint32_t>(WinError::kSuccess);
    });
}

int Query(RegistryStore& store, const Options& options, const KeyPath& key) {
    int64_t id = 0;
    std::wstring spelled;
    uint32_t result = StoredPath(store, key, id, spelled);
    if (result != WinError::kSuccess) {
        return FailWith(result);
    }
    if (options.value) {
        RegistryValue value;
        result = store.QueryValue(id, *options.value, value);
        if (result != WinError::kSuccess) {
            return FailWith(result);
        }
        Print(L"");
        Print(spelled);
        PrintValue(value);
        Print(L"");
        return 0;
    }
    Print(L"");
    result = QueryKey(store, id, spelled, options.recursive);
    return result == WinError::kSuccess ? 0 : FailWith(result);
}

bool ParseNumber(const std::wstring& text, uint64_t limit, uint64_t& number) {
    if (text.empty()) {
        return false;
    }
    const bool hex = text.size() > 2 && text[0] == L'0' && (text[1] == L'x' || text[1] == L'X');
    number = 0;
    for (std::size_t i = hex ? 2 : 0; i < text.size(); ++i) {
        const wchar_t c = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(text[i])));
        unsigned digit = 0;
        if (c >= L'0' && c <= L'9') {
            digit = static_cast<unsigned>(c - L'0');
        } else if (hex && c >= L'a' && c <= L'f') {
            digit = static_cast<unsigned>(c - L'a') + 10;
        } else {
            return false;
        }
        const unsigned base = hex ? 16 : 10;
        if (number > (limit - digit) / base) {
            return false;
        }
        number = number * base + digit;
    }
    return true;
}

// The value's bytes as the registry keeps them; false for data that does not fit the type.
bool EncodeData(uint32_t type, const std::wstring& data, std::vector<uint8_t>& bytes) {
    switch (type) {
    case platform::kRegSz:
    case platform::kRegExpandSz:
        bytes = ZEPMaintenance::Utf16LeFromWide(data, true);
        return true;
    case platform::kRegMultiSz: {
        std::wstring list;
        std::size_t start = 0;
        while (true) {
            const std::size_t end = data.find(L"\\0", start);
            list += data.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start);
            list += L'\0';
            if (end == std::wstring::npos) {
                break;
            }
            start = end + 2;
        }
        bytes = ZEPMaintenance::Utf16LeFromWide(list, true);
        return true;
    }
    case platform::kRegDword:
    case platform::kRegQword: {
        const bool dword = type == platform::kRegDword;
        uint64_t number = 0;
        if (!ParseNumber(data, dword ? 0xFFFFFFFFull : ~0ull, number)) {
            return false;
        }
        bytes.clear();
        for (int i = 0; i < (dword ? 4 : 8); ++i) {
            bytes.push_back(static_cast<uint8_t>(number >> (8 * i)));
        }
        return true;
    }
    case platform::kRegBinary:
    case platform::kRegNone: {
        if (data.size() % 2 != 0) {
            return false;
        }
        bytes.clear();
        for (std::size_t i = 0; i < data.size(); i += 2) {
            uint64_t byte = 0;
            if (!ParseNumber(L"0x" + data.substr(i, 2), 0xFF, byte)) {
                return false;
            }
            bytes.push_back(static_cast<uint8_t>(byte));
        }
        return true;
    }
    default:
        return false;
    }
}

int Add(RegistryStore& store, const Options& options, const KeyPath& key) {
    std::vector<uint8_t> bytes;
    uint32_t type = 0;
    if (options.value) {
        bool known = false;
        for (const auto& entry : kTypes) {
            if (options.type == entry.name) {
                type = entry.type;
                known = true;
            }
        }
        if (!known) {
            return Fail(L"Invalid type " + options.type + L".");
        }
        if (!EncodeData(type, options.data, bytes)) {
            return Fail(L"Invalid data for " + options.type + L": " + options.data);
        }
    }
    int64_t id = 0;
    bool created = false;
    uint32_t result = store.CreateKey(key.root, key.path, nullptr, id, created);
    if (result == WinError::kSuccess && options.value) {
        RegistryValue existing;
        if (!options.force && store.QueryValue(id, *options.value, existing) == WinError::kSuccess) {
            return Fail(L"The value exists; add /f to overwrite it.");
        }
        result = store.SetValue(id, *options.value, type, bytes.data(), static_cast<uint32_t>(bytes.size()));
    }
    if (result != WinError::kSuccess) {
        return FailWith(result);
    }
    Print(L"The operation completed successfully.");
    return 0;
}

int Delete(RegistryStore& store, const Options& options, const KeyPath& key) {
    if (!options.force) {
        return Fail(L"zepreg never asks: add /f to delete.");
    }
    uint32_t result = WinError::kSuccess;
    if (options.value) {
        int64_t id = 0;
        result = store.OpenKey(key.root, key.path, id);
        if (result == WinError::kSuccess) {
            result = store.DeleteValue(id, *options.value);
        }
    } else {
        // The key with everything below it; a hive root stays.
        result = key.path.empty() ? static_cast<uint32_t>(WinError::kAccessDenied)
                                  : store.DeleteTree(key.root, key.path);
    }
    if (result != WinError::kSuccess) {
        return FailWith(result);
    }
    Print(L"The operation completed successfully.");
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 2) {
        const std::string option = argv[1];
        if (option == "--help" || option == "-h" || option == "/?" || option == "-?") {
            return Help();
        }
    }
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        return Usage();
    }
    uint32_t result = WinError::kSuccess;
    const std::shared_ptr<RegistryStore> store = RegistryStore::ForMachineRoot(result);
    if (!store) {
        return FailWith(result);
    }
    KeyPath key;
    result = ParseKey(*store, options.key, options.command == L"ADD", key);
    if (result == WinError::kInvalidParameter) {
        return Fail(L"Invalid key name " + options.key + L".");
    }
    if (result != WinError::kSuccess) {
        return FailWith(result);
    }
    if (options.command == L"QUERY") {
        return Query(*store, options, key);
    }
    if (options.command == L"ADD") {
        return Add(*store, options, key);
    }
    if (options.command == L"DELETE") {
        return Delete(*store, options, key);
    }
    return Usage();
}
