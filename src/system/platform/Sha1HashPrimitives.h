// The platform primitives under Sha1Hash, implemented by win/Sha1HashWin.cpp and posix/Sha1HashPosix.cpp.
#pragma once

#include <cstdint>
#include <string>

namespace ZEPMaintenance::platform {

// CryptAcquireContext / CryptReleaseContext stand-ins: Windows error number, 0 on success.
uint32_t AcquireCryptoProvider();
uint32_t ReleaseCryptoProvider();
bool IsCryptoProviderAcquired();

// An open file for reading (HANDLE / descriptor); closed when the owner goes.
class FileHandle {
public:
    FileHandle() = default;
    ~FileHandle();
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    intptr_t value = -1;
};

// A hash object of the provider (HCRYPTHASH / digest context); destroyed when the owner goes.
class HashHandle {
public:
    HashHandle() = default;
    ~HashHandle();
    HashHandle(const HashHandle&) = delete;
    HashHandle& operator=(const HashHandle&) = delete;
    uintptr_t value = 0;
};

// CreateFileW(GENERIC_READ, share read and write, OPEN_EXISTING, sequential scan).
uint32_t OpenFileSequential(const std::wstring& path, FileHandle& file);
// ReadFile: count is 0 at the end of the file.
uint32_t ReadFileChunk(FileHandle& file, uint8_t* buffer, uint32_t size, uint32_t& count);
// CryptCreateHash(CALG_SHA1), CryptHashData, CryptGetHashParam(HP_HASHVAL).
uint32_t CreateSha1Hash(HashHandle& hash);
uint32_t HashData(HashHandle& hash, const uint8_t* data, uint32_t count);
uint32_t GetHashValue(HashHandle& hash, uint8_t* buffer, uint32_t& length);

} // namespace ZEPMaintenance::platform
