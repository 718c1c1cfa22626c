// Windows side of Sha1Hash: the process-wide CryptoAPI providers, file reads, SHA-1 and SHA-256 hash
// objects.
#include "system/platform/Sha1HashPrimitives.h"

#include "base/win/WinHandle.h"

#include <utility>

namespace ZEPMaintenance::platform {

namespace {

struct ProviderTraits {
    using Value = HCRYPTPROV;
    static HCRYPTPROV Invalid() noexcept { return 0; }
    // A provider dropped unasked has no one to report a failed release to.
    static void Close(HCRYPTPROV provider) noexcept { static_cast<void>(Free(provider)); }
    // The release's error, which UnInitialize reports.
    [[nodiscard]] static DWORD Free(HCRYPTPROV provider) noexcept {
        return CryptReleaseContext(provider, 0) ? ERROR_SUCCESS : GetLastError();
    }
};
UniqueHandle<ProviderTraits> gProvider;
// The default provider of PROV_RSA_AES: the one of PROV_RSA_FULL has no SHA-256.
UniqueHandle<ProviderTraits> gAesProvider;

uint32_t CreateHash(const UniqueHandle<ProviderTraits>& provider, ALG_ID algorithm, HashHandle& hash) {
    HCRYPTHASH handle = 0;
    if (!CryptCreateHash(provider.Get(), algorithm, 0, 0, &handle)) {
        return GetLastError();
    }
    hash.Reset(static_cast<HashObject>(handle));
    return ERROR_SUCCESS;
}

HANDLE Native(HashedFile file) {
    return reinterpret_cast<HANDLE>(static_cast<intptr_t>(file));
}

HCRYPTHASH Native(HashObject hash) {
    return static_cast<HCRYPTHASH>(hash);
}

} // namespace

void Destroy(HashedFile file) noexcept {
    WinFileTraits::Close(Native(file));
}

void Destroy(HashObject hash) noexcept {
    CryptDestroyHash(Native(hash));
}

uint32_t AcquireCryptoProvider() {
    gAesProvider.Reset();
    gProvider.Reset();
    HCRYPTPROV acquired = 0;
    if (!CryptAcquireContextW(&acquired, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT)) {
        return GetLastError();
    }
    UniqueHandle<ProviderTraits> full(acquired);
    if (!CryptAcquireContextW(&acquired, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT)) {
        return GetLastError();
    }
    gAesProvider.Reset(acquired);
    gProvider = std::move(full);
    return ERROR_SUCCESS;
}

uint32_t ReleaseCryptoProvider() {
    const DWORD aesError = gAesProvider ? ProviderTraits::Free(gAesProvider.Release()) : ERROR_SUCCESS;
    const DWORD error = ProviderTraits::Free(gProvider.Release());
    return error != ERROR_SUCCESS ? error : aesError;
}

bool IsCryptoProviderAcquired() {
    return gProvider.IsValid();
}

uint32_t OpenFileSequential(const std::wstring& path, FileHandle& file) {
    const HANDLE handle = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return GetLastError();
    }
    file.Reset(static_cast<HashedFile>(reinterpret_cast<intptr_t>(handle)));
    return ERROR_SUCCESS;
}

uint32_t ReadFileChunk(FileHandle& file, uint8_t* buffer, uint32_t size, uint32_t& count) {
    DWORD read = 0;
    if (!ReadFile(Native(file.Get()), buffer, size, &read, nullptr)) {
        count = 0;
        return GetLastError();
    }
    count = read;
    return ERROR_SUCCESS;
}

uint32_t CreateSha1Hash(HashHandle& hash) {
    return CreateHash(gProvider, CALG_SHA1, hash);
}

uint32_t CreateSha256Hash(HashHandle& hash) {
    return CreateHash(gAesProvider, CALG_SHA_256, hash);
}

uint32_t HashData(HashHandle& hash, const uint8_t* data, uint32_t count) {
    return CryptHashData(Native(hash.Get()), data, count, 0) ? ERROR_SUCCESS : GetLastError();
}

uint32_t GetHashValue(HashHandle& hash, uint8_t* buffer, uint32_t& length) {
    DWORD size = length;
    if (!CryptGetHashParam(Native(hash.Get()), HP_HASHVAL, buffer, &size, 0)) {
        return GetLastError();
    }
    length = size;
    return ERROR_SUCCESS;
}

} // namespace ZEPMaintenance::platform
