// SignedManifestFile: reading a container whole and checking its key identifier and signature.
#include "upgrade/SignedManifestFile.h"

#include "base/WinError.h"
#include "upgrade/CryptoPrimitives.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace ZEPMaintenance {

namespace {

constexpr uint8_t kMagic[SignedManifestFile::kMagicSize] = {'Z', 'E', 'P', 'S', 'I', 'G', '1'};

// Reads exactly size bytes: a failing call gives its error, a short read ERROR_BAD_FORMAT.
uint32_t ReadField(const platform::ContainerFile& file, uint8_t* buffer, uint32_t size) {
    uint32_t read = 0;
    const uint32_t error = platform::ReadContainerFile(file, buffer, size, read);
    if (error != WinError::kSuccess) {
        return error;
    }
    return read == size ? WinError::kSuccess : WinError::kBadFormat;
}

std::unique_ptr<uint8_t[]> Allocate(uint32_t size) {
    return std::unique_ptr<uint8_t[]>(new (std::nothrow) uint8_t[size]);
}

} // namespace

std::wstring VerifyProviderName(uint32_t major, uint32_t minor) {
    if (major == 5 && minor == 1) {
        return L"Microsoft Enhanced RSA and AES Cryptographic Provider (Prototype)";
    }
    return L"Microsoft Enhanced RSA and AES Cryptographic Provider";
}

SignedManifestFile::SignedManifestFile() {
    Clear();
}

void SignedManifestFile::Clear() {
    std::memset(magic, 0, sizeof magic);
    std::memset(reserved, 0, sizeof reserved);
    std::memset(keyId, 0, sizeof keyId);
    signatureLength = 0;
    dataLength = 0;
    signature.reset();
    data.reset();
}

uint32_t SignedManifestFile::LoadFile(const wchar_t* path) {
    if (path == nullptr) {
        return WinError::kInvalidParameter;
    }
    Clear();
    platform::ContainerFile file;
    uint32_t error = platform::OpenContainerFile(path, file);
    if (error != WinError::kSuccess) {
        return error;
    }
    error = ReadHead(file);
    if (error != WinError::kSuccess) {
        return error;
    }
    data = Allocate(dataLength);
    if (!data) {
        return WinError::kNotEnoughMemory;
    }
    return ReadField(file, data.get(), dataLength);
}

uint32_t SignedManifestFile::ReadHead(const platform::ContainerFile& file) {
    uint32_t fileSize = 0;
    uint32_t error = platform::GetContainerFileSize(file, fileSize);
    if (error != WinError::kSuccess) {
        return error;
    }
    // Whoever prepared the data folder chose the size: refused before a byte of it is read.
    if (fileSize > kContainerLimit) {
        return WinError::kFileTooLarge;
    }
    uint8_t read[kMagicSize];
    error = ReadField(file, read, kMagicSize);
    if (error != WinError::kSuccess) {
        return error;
    }
    std::memcpy(magic, read, kMagicSize);
    if (std::memcmp(magic, kMagic, kMagicSize) != 0) {
        return WinError::kBadFormat;
    }
    uint8_t length[4];
    if ((error = ReadField(file, reserved, kReservedSize)) != WinError::kSuccess ||
        (error = ReadField(file, keyId, kKeyIdSize)) != WinError::kSuccess ||
        (error = ReadField(file, length, sizeof length)) != WinError::kSuccess) {
        return error;
    }
    signatureLength = static_cast<uint32_t>(length[0]) | static_cast<uint32_t>(length[1]) << 8 |
                      static_cast<uint32_t>(length[2]) << 16 | static_cast<uint32_t>(length[3]) << 24;
    // A signature longer than the rest of the file would be a short read: refused before a buffer of
    // a length the file's writer chose is allocated.
    if (fileSize < kHeaderSize || signatureLength > fileSize - kHeaderSize) {
        return WinError::kBadFormat;
    }
    signature = Allocate(signatureLength);
    if (!signature) {
        return WinError::kNotEnoughMemory;
    }
    error = ReadField(file, signature.get(), signatureLength);
    if (error != WinError::kSuccess) {
        return error;
    }
    // The verification call takes the signature least significant byte first.
    std::reverse(signature.get(), signature.get() + signatureLength);
    dataLength = fileSize - signatureLength - kHeaderSize;
    return WinError::kSuccess;
}

uint32_t SignedManifestFile::VerifySignature() const {
    return VerifySignature(BuiltInSigningKey());
}

uint32_t SignedManifestFile::BeginVerification(const SigningKey& key, platform::CryptProvider& provider,
                                               platform::CryptKey& publicKey, platform::CryptHash& hash) {
    const std::unique_ptr<uint8_t[]> blob = Allocate(kPublicKeyBlobSize);
    if (!blob) {
        return WinError::kNotEnoughMemory;
    }
    uint32_t blobSize = kPublicKeyBlobSize;
    uint32_t error = platform::DecodeBase64Blob(key.publicKey, blob.get(), blobSize);
    if (error != WinError::kSuccess) {
        return error;
    }
    uint32_t major = 0;
    uint32_t minor = 0;
    platform::QueryOsVersion(major, minor);
    error =
        platform::AcquireVerifyContext(VerifyProviderName(major, minor), platform::kProviderRsaAes, provider);
    if (error != WinError::kSuccess) {
        return error;
    }
    error = platform::ImportPublicKeyBlob(provider, blob.get(), blobSize, publicKey);
    if (error != WinError::kSuccess) {
        return error;
    }
    return platform::CreateSha256Hash(provider, hash);
}

uint32_t SignedManifestFile::VerifySignature(const SigningKey& key) const {
    if (key.keyId.size() != kKeyIdSize || std::memcmp(keyId, key.keyId.data(), kKeyIdSize) != 0) {
        return platform::kNteBadKey;
    }
    // Declared in this order so that the hash goes first, then the key, then the provider.
    platform::CryptProvider provider;
    platform::CryptKey publicKey;
    platform::CryptHash hash;
    uint32_t error = BeginVerification(key, provider, publicKey, hash);
    if (error != WinError::kSuccess) {
        return error;
    }
    // An empty data field is hashed as zero bytes of a valid buffer.
    static const uint8_t kNothing = 0;
    error = platform::HashBytes(hash, dataLength != 0 ? data.get() : &kNothing, dataLength);
    if (error != WinError::kSuccess) {
        return error;
    }
    static const uint8_t kNoSignature = 0;
    return platform::VerifyHashSignature(
        hash, publicKey, signatureLength != 0 ? signature.get() : &kNoSignature, signatureLength);
}

bool SignedManifestStream::Open(const wchar_t* path, const SigningKey& key) {
    failed = true;
    if (path == nullptr || platform::OpenContainerFile(path, file) != WinError::kSuccess ||
        head.ReadHead(file) != WinError::kSuccess || key.keyId.size() != SignedManifestFile::kKeyIdSize ||
        std::memcmp(head.keyId, key.keyId.data(), SignedManifestFile::kKeyIdSize) != 0 ||
        SignedManifestFile::BeginVerification(key, provider, publicKey, hash) != WinError::kSuccess) {
        return false;
    }
    remaining = head.dataLength;
    failed = false;
    return true;
}

std::size_t SignedManifestStream::Read(uint8_t* buffer, std::size_t size) {
    if (failed || remaining == 0) {
        return 0;
    }
    const auto wanted = static_cast<uint32_t>(std::min<std::size_t>(size, remaining));
    uint32_t read = 0;
    // The file ends early, or a piece cannot be hashed: the data is not the data that was signed.
    if (platform::ReadContainerFile(file, buffer, wanted, read) != WinError::kSuccess || read == 0 ||
        platform::HashBytes(hash, buffer, read) != WinError::kSuccess) {
        failed = true;
        return 0;
    }
    remaining -= read;
    return read;
}

bool SignedManifestStream::Verified() {
    if (failed || remaining != 0) {
        return false;
    }
    static const uint8_t kNothing = 0;
    // An empty data field is hashed as zero bytes of a valid buffer, as VerifySignature hashes it.
    if (head.dataLength == 0 && platform::HashBytes(hash, &kNothing, 0) != WinError::kSuccess) {
        return false;
    }
    static const uint8_t kNoSignature = 0;
    const uint32_t length = head.signatureLength;
    return platform::VerifyHashSignature(hash, publicKey, length != 0 ? head.signature.get() : &kNoSignature,
                                         length) == WinError::kSuccess;
}

} // namespace ZEPMaintenance
