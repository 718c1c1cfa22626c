// The platform primitives under Sha1Hash, implemented by win/Sha1HashWin.cpp and posix/Sha1HashPosix.cpp.
#pragma once

#include "base/UniqueHandle.h"

#include <cstdint>
#include <string>

namespace ZEPMaintenance::platform {

// CryptAcquireContext / CryptReleaseContext stand-ins: Windows error number, 0 on success. Acquiring
// again releases the provider held before; a failed acquisition leaves none. On Windows a second
// provider (PROV_RSA_AES) is held beside the first for SHA-256, which PROV_RSA_FULL lacks.
[[nodiscard]] uint32_t AcquireCryptoProvider();
[[nodiscard]] uint32_t ReleaseCryptoProvider();
bool IsCryptoProviderAcquired();

// A file open for hashing (a HANDLE on Windows, a descriptor on Linux) and a hash object of the
// provider (an HCRYPTHASH, an OpenSSL digest context). Each side gives the values their meaning and
// releases them.
enum class HashedFile : intptr_t { kNone = -1 };
void Destroy(HashedFile file) noexcept;
using FileHandle = PlatformHandle<HashedFile, HashedFile::kNone>;

enum class HashObject : uintptr_t { kNone = 0 };
void Destroy(HashObject hash) noexcept;
using HashHandle = PlatformHandle<HashObject>;

// CreateFileW(GENERIC_READ, share read and write, OPEN_EXISTING, sequential scan).
[[nodiscard]] uint32_t OpenFileSequential(const std::wstring& path, FileHandle& file);
// ReadFile: count is 0 at the end of the file.
[[nodiscard]] uint32_t ReadFileChunk(FileHandle& file, uint8_t* buffer, uint32_t size, uint32_t& count);
// CryptCreateHash(CALG_SHA1) and CryptCreateHash(CALG_SHA_256), CryptHashData,
// CryptGetHashParam(HP_HASHVAL).
[[nodiscard]] uint32_t CreateSha1Hash(HashHandle& hash);
[[nodiscard]] uint32_t CreateSha256Hash(HashHandle& hash);
[[nodiscard]] uint32_t HashData(HashHandle& hash, const uint8_t* data, uint32_t count);
[[nodiscard]] uint32_t GetHashValue(HashHandle& hash, uint8_t* buffer, uint32_t& length);

} // namespace ZEPMaintenance::platform
