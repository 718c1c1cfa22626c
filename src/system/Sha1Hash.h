// SHA-1 value of a file or of the hexadecimal text a manifest carries.
#pragma once

#include "diag/Logger.h"

#include <cstdint>
#include <string>

namespace ZEPMaintenance {

class Sha1Hash {
public:
    // The process-wide crypto provider, acquired at start and released at exit.
    static void Initialize();
    static void UnInitialize();

    Sha1Hash();
    Sha1Hash(const Sha1Hash& other);
    // Copies the text; the logger stays.
    Sha1Hash& operator=(const Sha1Hash& other);

    void LoadFromString(const std::string& text);
    void CalcFromFile(const std::wstring& path);
    std::string ToString() const { return hashText; }
    // 0 when equal; otherwise the sign of the first difference, as strcmp.
    int Compare(const char* other) const;

private:
    Logger logger{L"Sha1Hash"};
    std::string hashText;
};

namespace platform {
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
} // namespace platform

} // namespace ZEPMaintenance
