// Linux side of Sha1Hash: OpenSSL stands in for the CryptoAPI provider; files are plain descriptors.
#include "system/platform/Sha1HashPrimitives.h"

#include "system/WinError.h"
#include "system/posix/PosixSupport.h"

#include <cerrno>
#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ZEPMaintenance::platform {

namespace {
EVP_MD* gSha1 = nullptr;

EVP_MD_CTX* Context(const HashHandle& hash) {
    return reinterpret_cast<EVP_MD_CTX*>(hash.value);
}
} // namespace

uint32_t AcquireCryptoProvider() {
    if (OPENSSL_init_crypto(0, nullptr) != 1) {
        return WinError::kNotSupported;
    }
    gSha1 = EVP_MD_fetch(nullptr, "SHA1", nullptr);
    return gSha1 != nullptr ? WinError::kSuccess : WinError::kNotSupported;
}

uint32_t ReleaseCryptoProvider() {
    EVP_MD_free(gSha1);
    gSha1 = nullptr;
    return WinError::kSuccess;
}

bool IsCryptoProviderAcquired() {
    return gSha1 != nullptr;
}

FileHandle::~FileHandle() {
    if (value >= 0) {
        close(static_cast<int>(value));
    }
}

HashHandle::~HashHandle() {
    EVP_MD_CTX_free(Context(*this));
}

uint32_t OpenFileSequential(const std::wstring& path, FileHandle& file) {
    // Only regular files: a link is not followed, and a FIFO or device would block or never end.
    // A folder is refused as CreateFileW without backup semantics refuses it.
    posix::UniqueFd opened;
    const uint32_t error =
        posix::OpenObject(posix::NativePath(path), O_RDONLY, posix::ObjectKind::File, opened);
    if (error != WinError::kSuccess) {
        return error;
    }
    file.value = opened.Release();
    (void)posix_fadvise(static_cast<int>(file.value), 0, 0, POSIX_FADV_SEQUENTIAL);
    return WinError::kSuccess;
}

uint32_t ReadFileChunk(FileHandle& file, uint8_t* buffer, uint32_t size, uint32_t& count) {
    for (;;) {
        const ssize_t result = read(static_cast<int>(file.value), buffer, size);
        if (result >= 0) {
            count = static_cast<uint32_t>(result);
            return WinError::kSuccess;
        }
        if (errno != EINTR) {
            count = 0;
            return posix::WinErrorFromErrno(errno);
        }
    }
}

uint32_t CreateSha1Hash(HashHandle& hash) {
    if (gSha1 == nullptr) {
        return WinError::kInvalidHandle;
    }
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    if (context == nullptr) {
        return WinError::kNotEnoughMemory;
    }
    hash.value = reinterpret_cast<uintptr_t>(context);
    return EVP_DigestInit_ex2(context, gSha1, nullptr) == 1 ? WinError::kSuccess
                                                            : WinError::kInvalidParameter;
}

uint32_t HashData(HashHandle& hash, const uint8_t* data, uint32_t count) {
    return EVP_DigestUpdate(Context(hash), data, count) == 1 ? WinError::kSuccess
                                                             : WinError::kInvalidParameter;
}

uint32_t GetHashValue(HashHandle& hash, uint8_t* buffer, uint32_t& length) {
    if (length < static_cast<uint32_t>(EVP_MD_get_size(gSha1))) {
        return WinError::kMoreData;
    }
    unsigned int written = 0;
    if (EVP_DigestFinal_ex(Context(hash), buffer, &written) != 1) {
        return WinError::kInvalidParameter;
    }
    length = written;
    return WinError::kSuccess;
}

} // namespace ZEPMaintenance::platform
