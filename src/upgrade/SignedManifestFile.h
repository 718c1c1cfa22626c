// The signed container of the upgrade manifest: header, RSA signature and the XML bytes.
#pragma once

#include "upgrade/CryptoPrimitives.h"
#include "upgrade/SigningKey.h"

#include <cstdint>
#include <memory>
#include <string>

namespace ZEPMaintenance {

// Layout: magic "ZEPSIG1" (7), reserved (20), key id (40), signature length L (4, little-endian),
// the signature (L, most significant byte first), the data up to the end of the file.
class SignedManifestFile {
public:
    static constexpr uint32_t kMagicSize = 7;
    static constexpr uint32_t kReservedSize = 20;
    static constexpr uint32_t kKeyIdSize = 40;
    static constexpr uint32_t kHeaderSize = kMagicSize + kReservedSize + kKeyIdSize + 4; // 71
    static constexpr uint32_t kPublicKeyBlobSize = 276;
    // No manifest of one product comes near this; a larger file is refused unread (223).
    static constexpr uint32_t kContainerLimit = 64u * 1024u * 1024u;

    SignedManifestFile();
    SignedManifestFile(const SignedManifestFile&) = delete;
    SignedManifestFile& operator=(const SignedManifestFile&) = delete;

    // Reads a container into the image; 0 or a Windows error number (87 without a path, 11 for a
    // malformed or short file, 8 when a buffer cannot be had, 223 above kContainerLimit, otherwise the
    // platform's error).
    uint32_t LoadFile(const wchar_t* path);
    // Checks the key identifier (0x80090003 at once when it differs) and the signature over the data
    // with the built-in key, or with the given one.
    uint32_t VerifySignature() const;
    uint32_t VerifySignature(const SigningKey& key) const;
    // Zeroes the header, both lengths, and frees both buffers.
    void Clear();

    const uint8_t* GetMagic() const { return magic; }
    const uint8_t* GetReserved() const { return reserved; }
    const uint8_t* GetKeyId() const { return keyId; }
    uint32_t GetSignatureLength() const { return signatureLength; }
    // Least significant byte first, as read and reversed.
    const uint8_t* GetSignature() const { return signature.get(); }
    uint32_t GetDataLength() const { return dataLength; }
    const uint8_t* GetData() const { return data.get(); }

private:
    friend class SignedManifestStream;
    // The header and the signature, leaving the file at the data; the data's length is set, not read.
    uint32_t ReadHead(const platform::ContainerFile& file);
    // The provider, the key and a hash ready for the data, in the order VerifySignature takes them.
    static uint32_t BeginVerification(const SigningKey& key, platform::CryptProvider& provider,
                                      platform::CryptKey& publicKey, platform::CryptHash& hash);

    uint8_t magic[kMagicSize];
    uint8_t reserved[kReservedSize];
    uint8_t keyId[kKeyIdSize];
    uint32_t signatureLength = 0;
    std::unique_ptr<uint8_t[]> signature;
    uint32_t dataLength = 0;
    std::unique_ptr<uint8_t[]> data;
};

// A container read as LoadFile reads it and checked as VerifySignature checks it, with its data handed on
// in pieces as they are read and hashed and none of it kept: for a reader that takes what it read only
// once the signature holds. Any failure, whatever its step, leaves it unverified.
class SignedManifestStream {
public:
    // The header and signature read, the key identifier matched and the hash begun.
    bool Open(const wchar_t* path, const SigningKey& key);
    // Up to size bytes of the data, each hashed; 0 at the end of the data and after a failure.
    std::size_t Read(uint8_t* buffer, std::size_t size);
    // True when all of the data was read and its signature holds.
    bool Verified();

private:
    SignedManifestFile head;
    platform::ContainerFile file;
    // Declared so that the hash goes first, then the key, then the provider.
    platform::CryptProvider provider;
    platform::CryptKey publicKey;
    platform::CryptHash hash;
    uint32_t remaining = 0;
    bool failed = true;
};

// The provider the signature check acquires: Windows XP (5.1) knows it under its prototype name.
std::wstring VerifyProviderName(uint32_t major, uint32_t minor);

} // namespace ZEPMaintenance
