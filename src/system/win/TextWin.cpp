// Windows side of the text conversions: upper case, the SID string calls, the module name.
#include "system/platform/TextPrimitives.h"

#include "base/win/WinHandle.h"

#include <vector>

namespace ZEPMaintenance::platform {

std::size_t UpperCaseInPlace(wchar_t* text, std::size_t length) {
    return length == 0 ? 0 : CharUpperBuffW(text, static_cast<DWORD>(length));
}

bool StringToSidBytes(const std::wstring& text, std::vector<uint8_t>& binary) {
    PSID sid = nullptr;
    if (!ConvertStringSidToSidW(text.c_str(), &sid)) {
        return false;
    }
    const LocalMemory heldSid(sid);
    const auto* bytes = static_cast<const uint8_t*>(sid);
    binary.assign(bytes, bytes + GetLengthSid(sid));
    return true;
}

std::wstring SidBytesToString(const std::vector<uint8_t>& binary) {
    std::vector<uint8_t> copy = binary; // the call takes a non-const SID
    LPWSTR text = nullptr;
    if (!ConvertSidToStringSidW(copy.data(), &text)) {
        return {};
    }
    const LocalMemory heldText(text);
    return std::wstring(text);
}

bool ModuleFileName(std::wstring& path) {
    wchar_t buffer[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(nullptr, buffer, MAX_PATH);
    if (length == 0) {
        return false;
    }
    path.assign(buffer, length);
    return true;
}

} // namespace ZEPMaintenance::platform
