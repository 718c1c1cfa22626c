// Windows side of Sha1Hash: the process-wide CryptoAPI provider, file reads and SHA-1 hash objects.
#include "system/platform/Sha1HashPrimitives.h"

#include "system/win/WinHeaders.h"

namespace ZEPMaintenance::platform {

namespace {
HCRYPTPROV gProvider = 0;

HANDLE Native(const FileHandle& file) {
    return reinterpret_cast<HANDLE>(file.value);
}
} // namespace

uint32_t AcquireCryptoProvider() {
    if (!CryptAcquireContextW(&gProvider, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT)) {
        gProvider = 0;
        return GetLastError();
    }
    return ERROR_SUCCESS;
}

uint32_t ReleaseCryptoProvider() {
    const DWORD error = CryptReleaseContext(gProvider, 0) ? ERROR_SUCCESS : GetLastError();
    gProvider = 0;
    return error;
}

bool IsCryptoProviderAcquired() {
    return gProvider != 0;
}

FileHandle::~FileHandle() {
    if (Native(*this) != INVALID_HANDLE_VALUE) {
        CloseHandle(Native(*this));
    }
}

HashHandle::~HashHandle() {
    if (value != 0) {
        CryptDestroyHash(static_cast<HCRYPTHASH>(value));
    }
}

uint32_t OpenFileSequential(const std::wstring& path, FileHandle& file) {
    const HANDLE handle = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return GetLastError();
    }
    file.value = reinterpret_cast<intptr_t>(handle);
    return ERROR_SUCCESS;
}

uint32_t ReadFileChunk(FileHandle& file, uint8_t* buffer, uint32_t size, uint32_t& count) {
    DWORD read = 0;
    if (!ReadFile(Native(file), buffer, size, &read, nullptr)) {
        count = 0;
        return GetLastError();
    }
    count = read;
    return ERROR_SUCCESS;
}

uint32_t CreateSha1Hash(HashHandle& hash) {
    HCRYPTHASH handle = 0;
    if (!CryptCreateHash(gProvider, CALG_SHA1, 0, 0, &handle)) {
        return GetLastError();
    }
    hash.value = static_cast<uintptr_t>(handle);
    return ERROR_SUCCESS;
}

uint32_t HashData(HashHandle& hash, const uint8_t* data, uint32_t count) {
    return CryptHashData(static_cast<HCRYPTHASH>(hash.value), data, count, 0) ? ERROR_SUCCESS
                                                                              : GetLastError();
}

uint32_t GetHashValue(HashHandle& hash, uint8_t* buffer, uint32_t& length) {
    DWORD size = length;
    if (!CryptGetHashParam(static_cast<HCRYPTHASH>(hash.value), HP_HASHVAL, buffer, &size, 0)) {
        return GetLastError();
    }
    length = size;
    return ERROR_SUCCESS;
}

} // namespace ZEPMaintenance::platform
