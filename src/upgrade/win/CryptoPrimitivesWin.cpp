// Windows side of SignedManifestFile's primitives: the container through CreateFileW and ReadFile,
// the signature through CryptoAPI.
#include "upgrade/CryptoPrimitives.h"

#include "base/win/WinHeaders.h"

namespace ZEPMaintenance::platform {

namespace {
HANDLE Native(const ContainerFile& file) {
    return reinterpret_cast<HANDLE>(file.Get());
}
} // namespace

void ContainerFileTraits::Close(Value value) noexcept {
    CloseHandle(reinterpret_cast<HANDLE>(value));
}

void CryptProviderTraits::Close(Value value) noexcept {
    CryptReleaseContext(static_cast<HCRYPTPROV>(value), 0);
}

void CryptKeyTraits::Close(Value value) noexcept {
    CryptDestroyKey(static_cast<HCRYPTKEY>(value));
}

void CryptHashTraits::Close(Value value) noexcept {
    CryptDestroyHash(static_cast<HCRYPTHASH>(value));
}

uint32_t OpenContainerFile(const std::wstring& path, ContainerFile& file) {
    const HANDLE handle = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return GetLastError();
    }
    file.Reset(reinterpret_cast<intptr_t>(handle));
    return ERROR_SUCCESS;
}

uint32_t GetContainerFileSize(const ContainerFile& file, uint32_t& size) {
    // INVALID_FILE_SIZE is also the low half of some valid sizes: only the last error tells.
    SetLastError(ERROR_SUCCESS);
    const DWORD low = GetFileSize(Native(file), nullptr);
    if (low == INVALID_FILE_SIZE) {
        const DWORD error = GetLastError();
        if (error != ERROR_SUCCESS) {
            return error;
        }
    }
    size = low;
    return ERROR_SUCCESS;
}

uint32_t ReadContainerFile(const ContainerFile& file, uint8_t* buffer, uint32_t size, uint32_t& read) {
    DWORD count = 0;
    if (!ReadFile(Native(file), buffer, size, &count, nullptr)) {
        read = 0;
        return GetLastError();
    }
    read = count;
    return ERROR_SUCCESS;
}

uint32_t DecodeBase64Blob(const std::wstring& text, uint8_t* buffer, uint32_t& size) {
    DWORD count = size;
    if (!CryptStringToBinaryW(text.c_str(), static_cast<DWORD>(text.size()), CRYPT_STRING_BASE64, buffer,
                              &count, nullptr, nullptr)) {
        return GetLastError();
    }
    size = count;
    return ERROR_SUCCESS;
}

void QueryOsVersion(uint32_t& major, uint32_t& minor) {
    OSVERSIONINFOW info{};
    info.dwOSVersionInfoSize = sizeof info;
    if (!GetVersionExW(&info)) {
        major = 0;
        minor = 0;
        return;
    }
    major = info.dwMajorVersion;
    minor = info.dwMinorVersion;
}

uint32_t AcquireVerifyContext(const std::wstring& providerName, uint32_t providerType,
                              CryptProvider& provider) {
    HCRYPTPROV handle = 0;
    if (!CryptAcquireContextW(&handle, nullptr, providerName.c_str(), providerType, CRYPT_VERIFYCONTEXT)) {
        return GetLastError();
    }
    provider.Reset(static_cast<uintptr_t>(handle));
    return ERROR_SUCCESS;
}

uint32_t ImportPublicKeyBlob(const CryptProvider& provider, const uint8_t* blob, uint32_t size,
                             CryptKey& key) {
    HCRYPTKEY handle = 0;
    if (!CryptImportKey(static_cast<HCRYPTPROV>(provider.Get()), blob, size, 0, 0, &handle)) {
        return GetLastError();
    }
    key.Reset(static_cast<uintptr_t>(handle));
    return ERROR_SUCCESS;
}

uint32_t CreateSha256Hash(const CryptProvider& provider, CryptHash& hash) {
    HCRYPTHASH handle = 0;
    if (!CryptCreateHash(static_cast<HCRYPTPROV>(provider.Get()), CALG_SHA_256, 0, 0, &handle)) {
        return GetLastError();
    }
    hash.Reset(static_cast<uintptr_t>(handle));
    return ERROR_SUCCESS;
}

uint32_t HashBytes(const CryptHash& hash, const uint8_t* data, uint32_t size) {
    return CryptHashData(static_cast<HCRYPTHASH>(hash.Get()), data, size, 0) ? ERROR_SUCCESS : GetLastError();
}

uint32_t VerifyHashSignature(const CryptHash& hash, const CryptKey& key, const uint8_t* signature,
                             uint32_t size) {
    return CryptVerifySignatureW(static_cast<HCRYPTHASH>(hash.Get()), signature, size,
                                 static_cast<HCRYPTKEY>(key.Get()), nullptr, 0)
               ? ERROR_SUCCESS
               : GetLastError();
}

} // namespace ZEPMaintenance::platform
