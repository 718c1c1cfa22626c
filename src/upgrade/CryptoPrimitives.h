// Platform primitives of SignedManifestFile: the container file and the signature check, one per
// platform call, each returning a Windows error number (0 = success).
#pragma once

#include "base/UniqueHandle.h"

#include <cstdint>
#include <string>

namespace ZEPMaintenance::platform {

// Error numbers of the crypto provider that the portable code and the Linux side name.
inline constexpr uint32_t kNteBadKey = 0x80090003u;
inline constexpr uint32_t kNteBadData = 0x80090005u;
inline constexpr uint32_t kNteBadSignature = 0x80090006u;
inline constexpr uint32_t kNteBadVersion = 0x80090007u;
inline constexpr uint32_t kNteBadAlgorithm = 0x80090008u;
inline constexpr uint32_t kNteBadType = 0x8009000Au;

// PROV_RSA_AES.
inline constexpr uint32_t kProviderRsaAes = 24;

// The open container (a file HANDLE or a descriptor).
struct ContainerFileTraits {
    using Value = intptr_t;
    static Value Invalid() noexcept { return -1; }
    static void Close(Value value) noexcept;
};
using ContainerFile = UniqueHandle<ContainerFileTraits>;

// HCRYPTPROV, HCRYPTKEY and HCRYPTHASH, or the OpenSSL objects that stand in for them.
struct CryptProviderTraits {
    using Value = uintptr_t;
    static Value Invalid() noexcept { return 0; }
    static void Close(Value value) noexcept;
};
struct CryptKeyTraits {
    using Value = uintptr_t;
    static Value Invalid() noexcept { return 0; }
    static void Close(Value value) noexcept;
};
struct CryptHashTraits {
    using Value = uintptr_t;
    static Value Invalid() noexcept { return 0; }
    static void Close(Value value) noexcept;
};
using CryptProvider = UniqueHandle<CryptProviderTraits>;
using CryptKey = UniqueHandle<CryptKeyTraits>;
using CryptHash = UniqueHandle<CryptHashTraits>;

// CreateFileW(GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL); on Linux a
// regular file opened without following a link and without blocking.
[[nodiscard]] uint32_t OpenContainerFile(const std::wstring& path, ContainerFile& file);
// GetFileSize: the low 32 bits.
[[nodiscard]] uint32_t GetContainerFileSize(const ContainerFile& file, uint32_t& size);
// ReadFile: fewer bytes than asked only at the end of the file.
[[nodiscard]] uint32_t ReadContainerFile(const ContainerFile& file, uint8_t* buffer, uint32_t size,
                                         uint32_t& read);

// CryptStringToBinaryW(CRYPT_STRING_BASE64) into a buffer of size bytes; size becomes the count.
[[nodiscard]] uint32_t DecodeBase64Blob(const std::wstring& text, uint8_t* buffer, uint32_t& size);
// GetVersionExW's major and minor version (Linux reports the Windows version it stands in for).
void QueryOsVersion(uint32_t& major, uint32_t& minor);
// CryptAcquireContextW(no container, name, type, CRYPT_VERIFYCONTEXT).
[[nodiscard]] uint32_t AcquireVerifyContext(const std::wstring& providerName, uint32_t providerType,
                                            CryptProvider& provider);
// CryptImportKey of a public-key blob, no wrapping key, no flags.
[[nodiscard]] uint32_t ImportPublicKeyBlob(const CryptProvider& provider, const uint8_t* blob, uint32_t size,
                                           CryptKey& key);
// CryptCreateHash(CALG_SHA_256) and CryptHashData.
[[nodiscard]] uint32_t CreateSha256Hash(const CryptProvider& provider, CryptHash& hash);
[[nodiscard]] uint32_t HashBytes(const CryptHash& hash, const uint8_t* data, uint32_t size);
// CryptVerifySignatureW: the signature least significant byte first, no description, no flags.
[[nodiscard]] uint32_t VerifyHashSignature(const CryptHash& hash, const CryptKey& key,
                                           const uint8_t* signature, uint32_t size);

} // namespace ZEPMaintenance::platform
