// Windows side of File: existence, deletion, copying and the version resource.
#include "system/platform/FilePrimitives.h"

#include "system/UniqueHandle.h"
#include "system/win/WinHeaders.h"

#include <cstdio>

namespace ZEPMaintenance::platform {

bool CanOpenForReading(const std::wstring& fullPath) {
    return UniquePointer<FILE*, fclose>(_wfopen(fullPath.c_str(), L"r")).IsValid();
}

uint32_t RemoveFile(const std::wstring& fullPath) {
    return DeleteFileW(fullPath.c_str()) ? ERROR_SUCCESS : GetLastError();
}

uint32_t CopyFileOverwriting(const std::wstring& source, const std::wstring& target) {
    return CopyFileW(source.c_str(), target.c_str(), FALSE) ? ERROR_SUCCESS : GetLastError();
}

uint32_t GetVersionInfoSize(const std::wstring& fullPath) {
    DWORD handle = 0;
    return GetFileVersionInfoSizeW(fullPath.c_str(), &handle);
}

uint32_t GetVersionInfo(const std::wstring& fullPath, std::vector<uint8_t>& buffer) {
    return GetFileVersionInfoW(fullPath.c_str(), 0, static_cast<DWORD>(buffer.size()), buffer.data())
               ? ERROR_SUCCESS
               : GetLastError();
}

bool QueryFixedFileVersion(const std::vector<uint8_t>& buffer, uint32_t& versionMs, uint32_t& versionLs) {
    void* value = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(buffer.data(), L"\\", &value, &length) || value == nullptr ||
        length < sizeof(VS_FIXEDFILEINFO)) {
        return false;
    }
    const auto* info = static_cast<const VS_FIXEDFILEINFO*>(value);
    versionMs = info->dwFileVersionMS;
    versionLs = info->dwFileVersionLS;
    return true;
}

} // namespace ZEPMaintenance::platform
