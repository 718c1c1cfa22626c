// Linux side of Sha1Hash: OpenSSL stands in for the CryptoAPI provider; files are plain descriptors.
#include "system/platform/Sha1HashPrimitives.h"

#include "base/WinError.h"
#include "system/posix/PosixSupport.h"

#include <cerrno>
#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ZEPMaintenance::platform {

namespace {

using Algorithm = UniquePointer<EVP_MD*, EVP_MD_free>;

// The implementations the provider stands for. Never destroyed: at exit OpenSSL has already released
// its own state, which freeing an implementation then would reach into.
Algorithm& Sha1() {
    static auto* const algorithm = new Algorithm();
    return *algorithm;
}

Algorithm& Sha256() {
    static auto* const algorithm = new Algorithm();
    return *algorithm;
}

uint32_t CreateHash(const Algorithm& algorithm, HashHandle& hash) {
    if (!algorithm) {
        return WinError::kInvalidHandle;
    }
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    if (context == nullptr) {
        return WinError::kNotEnoughMemory;
    }
    hash.Reset(static_cast<HashObject>(reinterpret_cast<uintptr_t>(context)));
    return EVP_DigestInit_ex2(context, algorithm.Get(), nullptr) == 1 ? WinError::kSuccess
                                                                      : WinError::kInvalidParameter;
}

int Descriptor(const FileHandle& file) {
    return static_cast<int>(file.Get());
}

EVP_MD_CTX* Context(const HashHandle& hash) {
    return reinterpret_cast<EVP_MD_CTX*>(static_cast<uintptr_t>(hash.Get()));
}

} // namespace

void Destroy(HashedFile file) noexcept {
    posix::FdTraits::Close(static_cast<int>(file));
}

void Destroy(HashObject hash) noexcept {
    EVP_MD_CTX_free(reinterpret_cast<EVP_MD_CTX*>(static_cast<uintptr_t>(hash)));
}

uint32_t AcquireCryptoProvider() {
    static_cast<void>(ReleaseCryptoProvider()); // only drops what it holds: it cannot fail
    if (OPENSSL_init_crypto(0, nullptr) != 1) {
        return WinError::kNotSupported;
    }
    Sha1().Reset(EVP_MD_fetch(nullptr, "SHA1", nullptr));
    Sha256().Reset(EVP_MD_fetch(nullptr, "SHA256", nullptr));
    if (!Sha1() || !Sha256()) {
        static_cast<void>(ReleaseCryptoProvider());
        return WinError::kNotSupported;
    }
    return WinError::kSuccess;
}

uint32_t ReleaseCryptoProvider() {
    Sha1().Reset();
    Sha256().Reset();
    return WinError::kSuccess;
}

bool IsCryptoProviderAcquired() {
    return Sha1().IsValid();
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
    file.Reset(static_cast<HashedFile>(opened.Release()));
    (void)posix_fadvise(Descriptor(file), 0, 0, POSIX_FADV_SEQUENTIAL);
    return WinError::kSuccess;
}

uint32_t ReadFileChunk(FileHandle& file, uint8_t* buffer, uint32_t size, uint32_t& count) {
    const ssize_t result = posix::RetryAfterSignal(-1, read, Descriptor(file), buffer, size);
    if (result < 0) {
        count = 0;
        return posix::LastWinError();
    }
    count = static_cast<uint32_t>(result);
    return WinError::kSuccess;
}

uint32_t CreateSha1Hash(HashHandle& hash) {
    return CreateHash(Sha1(), hash);
}

uint32_t CreateSha256Hash(HashHandle& hash) {
    return CreateHash(Sha256(), hash);
}

uint32_t HashData(HashHandle& hash, const uint8_t* data, uint32_t count) {
    return EVP_DigestUpdate(Context(hash), data, count) == 1 ? WinError::kSuccess
                                                             : WinError::kInvalidParameter;
}

uint32_t GetHashValue(HashHandle& hash, uint8_t* buffer, uint32_t& length) {
    if (length < static_cast<uint32_t>(EVP_MD_CTX_get_size(Context(hash)))) {
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
