// Windows side of File: existence, deletion, copying and the version resource.
#include "system/platform/FilePrimitives.h"

#include "base/UniqueHandle.h"
#include "base/win/WinHandle.h"
#include "system/win/ConfinedOpen.h"

#include <cstdio>
#include <memory>
#include <ntsecapi.h>

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

struct HashedCopyState {
    HashedCopyState() = default;
    ~HashedCopyState();
    HashedCopyState(const HashedCopyState&) = delete;
    HashedCopyState& operator=(const HashedCopyState&) = delete;

    WinFile source;
    BY_HANDLE_FILE_INFORMATION sourceInfo{};
    WinFile copy;
    std::wstring copyPath;
    std::wstring targetPath;
    bool placed = false;
};

HashedCopyState::~HashedCopyState() {
    copy.Reset();
    if (!copyPath.empty() && !placed) {
        // A read-only copy could not be deleted.
        SetFileAttributesW(copyPath.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(copyPath.c_str());
    }
}

void Destroy(HashedCopyState* state) noexcept {
    delete state;
}

namespace {

// A name for the copy: random, so that no other program's file is ever met under it; CREATE_NEW makes
// sure it is new.
std::wstring CopyName() {
    unsigned long long random = 0;
    if (!RtlGenRandom(&random, sizeof random)) {
        static unsigned long long counter = 0;
        random =
            (static_cast<unsigned long long>(GetCurrentProcessId()) << 32) ^ GetTickCount64() ^ ++counter;
    }
    static const wchar_t kDigits[] = L"0123456789abcdef";
    std::wstring name = L".zep-copy-";
    for (int shift = 60; shift >= 0; shift -= 4) {
        name += kDigits[(random >> shift) & 0xF];
    }
    return name + L".tmp";
}

} // namespace

uint32_t OpenCopySource(const std::wstring& root, const std::wstring& source, HashedCopyHandle& copy) {
    auto state = std::make_unique<HashedCopyState>();
    // Sharing read only: nobody writes the file while it is read, and nobody renames or deletes it.
    if (root.empty()) {
        state->source.Reset(CreateFileW(source.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
        if (!state->source) {
            return GetLastError();
        }
        if (!GetFileInformationByHandle(state->source.Get(), &state->sourceInfo)) {
            return GetLastError();
        }
    } else {
        const DWORD error =
            OpenBelowRoot(root, source, GENERIC_READ, FILE_SHARE_READ, FILE_FLAG_SEQUENTIAL_SCAN, false,
                          state->source, &state->sourceInfo);
        if (error != ERROR_SUCCESS) {
            return error;
        }
        if (state->sourceInfo.nNumberOfLinks != 1) {
            return ERROR_CANT_ACCESS_FILE;
        }
    }
    copy.Reset(state.release());
    return ERROR_SUCCESS;
}

uint32_t CreateCopyBeside(const std::wstring& target, HashedCopyHandle& copy, std::wstring& copyName) {
    HashedCopyState& state = *copy.Get();
    const std::size_t separator = target.find_last_of(L"\\/");
    const std::wstring folder =
        separator == std::wstring::npos ? std::wstring() : target.substr(0, separator + 1);
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::wstring name = CopyName();
        const std::wstring path = folder + name;
        // Nobody else opens it while it is written; it is closed before it is read or renamed.
        state.copy.Reset(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                     FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        if (state.copy) {
            state.copyPath = path;
            state.targetPath = target;
            copyName = name;
            return ERROR_SUCCESS;
        }
        const DWORD error = GetLastError();
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) {
            return error;
        }
    }
    return ERROR_FILE_EXISTS;
}

uint32_t ReadCopySource(HashedCopyHandle& copy, uint8_t* buffer, uint32_t size, uint32_t& count) {
    DWORD read = 0;
    if (!ReadFile(copy->source.Get(), buffer, size, &read, nullptr)) {
        count = 0;
        return GetLastError();
    }
    count = read;
    return ERROR_SUCCESS;
}

uint32_t WriteCopy(HashedCopyHandle& copy, const uint8_t* buffer, uint32_t count) {
    for (uint32_t done = 0; done < count;) {
        DWORD written = 0;
        if (!WriteFile(copy->copy.Get(), buffer + done, count - done, &written, nullptr)) {
            return GetLastError();
        }
        done += written;
    }
    return ERROR_SUCCESS;
}

// What CopyFileW gives a copy that replaces a file: the source's last write time and attributes, and
// the replaced file's DACL, which an overwrite keeps; a copy with nothing to replace keeps what the
// folder gives it.
uint32_t FinishCopy(HashedCopyHandle& copy) {
    HashedCopyState& state = *copy.Get();
    if (!SetFileTime(state.copy.Get(), nullptr, nullptr, &state.sourceInfo.ftLastWriteTime) ||
        !FlushFileBuffers(state.copy.Get())) {
        return GetLastError();
    }
    state.copy.Reset();
    state.source.Reset();
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD read =
        GetNamedSecurityInfoW(state.targetPath.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                              nullptr, &dacl, nullptr, &descriptor);
    const LocalMemory heldDescriptor(descriptor);
    if (read == ERROR_SUCCESS && dacl != nullptr) {
        SECURITY_DESCRIPTOR_CONTROL control = 0;
        DWORD revision = 0;
        if (!GetSecurityDescriptorControl(descriptor, &control, &revision)) {
            return GetLastError();
        }
        const SECURITY_INFORMATION protection = (control & SE_DACL_PROTECTED) != 0
                                                    ? PROTECTED_DACL_SECURITY_INFORMATION
                                                    : UNPROTECTED_DACL_SECURITY_INFORMATION;
        const DWORD written =
            SetNamedSecurityInfoW(state.copyPath.data(), SE_FILE_OBJECT,
                                  DACL_SECURITY_INFORMATION | protection, nullptr, nullptr, dacl, nullptr);
        if (written != ERROR_SUCCESS) {
            return written;
        }
    } else if (read != ERROR_SUCCESS && read != ERROR_FILE_NOT_FOUND) {
        return read;
    }
    const DWORD attributes = state.sourceInfo.dwFileAttributes &
                             (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                              FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED);
    if (attributes != 0 && !SetFileAttributesW(state.copyPath.c_str(), attributes)) {
        return GetLastError();
    }
    return ERROR_SUCCESS;
}

uint32_t PlaceCopy(HashedCopyHandle& copy) {
    HashedCopyState& state = *copy.Get();
    if (!MoveFileExW(state.copyPath.c_str(), state.targetPath.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        return GetLastError();
    }
    state.placed = true;
    return ERROR_SUCCESS;
}

} // namespace ZEPMaintenance::platform
