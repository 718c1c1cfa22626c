// Portable halves of the text and identifier conversions.
#include "system/Text.h"

#include "diag/IMException.h"
#include "system/platform/TextPrimitives.h"

namespace ZEPMaintenance {

std::wstring ToUpper(const std::wstring& text) {
    std::wstring upper(text.c_str());
    if (platform::UpperCaseInPlace(upper.data(), upper.size()) < upper.size()) {
        ThrowIMException(ErrorCode::kInvalidValue, L"Can't convert ToUpper");
    }
    return upper;
}

CSid SidFromString(const std::wstring& text) {
    std::vector<uint8_t> binary;
    if (!platform::StringToSidBytes(text, binary)) {
        ThrowIMException(ErrorCode::kInvalidValue, L"ConvertStringSidToSid failed");
    }
    return CSid(std::move(binary));
}

std::wstring GetModuleFilename() {
    std::wstring path;
    if (!platform::ModuleFileName(path) || path.empty()) {
        ThrowIMException(ErrorCode::kSystemCallFailed, L"GetModuleFilename failed");
    }
    return path;
}

std::wstring GetDirectoryPart(const std::wstring& path) {
    const std::size_t separator = path.find_last_of(L"\\/");
    return separator == std::wstring::npos ? std::wstring() : path.substr(0, separator);
}

std::wstring GetModuleDirectory() {
    return GetDirectoryPart(GetModuleFilename());
}

} // namespace ZEPMaintenance
