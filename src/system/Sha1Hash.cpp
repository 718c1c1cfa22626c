// Sha1Hash: the process-wide provider, parsing and comparing hash text, hashing files.
#include "system/Sha1Hash.h"

#include "base/WinError.h"
#include "diag/IMException.h"
#include "diag/Log.h"
#include "system/DigestStream.h"
#include "system/platform/Sha1HashPrimitives.h"

#include <cctype>
#include <cstring>

namespace ZEPMaintenance {

namespace {
constexpr std::size_t kHashTextLength = 40;
constexpr uint32_t kChunkSize = 1024;
} // namespace

void Sha1Hash::Initialize() {
    const uint32_t error = platform::AcquireCryptoProvider();
    if (error != 0) {
        mainLogger().Error(L"Sha1Hash::Initialize:  CryptAcquireContext failed. (lastError: %d)", error);
        ThrowIMException(ErrorCode::kCryptoProviderFailed, L"CryptAcquireContext failed.");
    }
}

void Sha1Hash::UnInitialize() {
    if (!platform::IsCryptoProviderAcquired()) {
        return;
    }
    const uint32_t error = platform::ReleaseCryptoProvider();
    if (error != 0) {
        mainLogger().Error(L"Sha1Hash::UnInitialize:  CryptReleaseContext failed. (lastError: %d)", error);
    }
}

Sha1Hash::Sha1Hash() = default;

void Sha1Hash::LoadFromString(const std::string& text) {
    const std::size_t length = strnlen(text.c_str(), text.size());
    if (length != kHashTextLength) {
        Log().Error(L"LoadFromString:  Incorrect SHA-1 hash length. (expected: %d, actual: %d)",
                    static_cast<int>(kHashTextLength), static_cast<int>(length));
        ThrowIMException(ErrorCode::kInvalidValue, L"Incorrect hash length.");
    }
    hashText.clear();
    for (std::size_t i = 0; i < length; ++i) {
        const char received = text[i];
        // Bytes of 0x80 and above are negative as signed chars and so never a digit.
        const auto upper = static_cast<signed char>(std::toupper(static_cast<unsigned char>(received)));
        const bool valid = (upper >= '0' && upper <= '9') || (upper >= 'A' && upper <= 'F');
        if (!valid || static_cast<signed char>(received) < 0) {
            Log().Error(L"LoadFromString:  Incorrect char in SHA-1 hash string. (incorrectChar: \"%c\")",
                        static_cast<wchar_t>(static_cast<unsigned char>(received)));
            hashText.clear();
            ThrowIMException(ErrorCode::kInvalidValue, L"Incorrect char in hash string.");
        }
        hashText += static_cast<char>(upper);
    }
}

void Sha1Hash::CalcFromFile(const std::wstring& path) {
    Calc(path, nullptr);
}

void Sha1Hash::CalcFromFile(const std::wstring& path, Sha256Hash& sha256) {
    Calc(path, &sha256);
}

void Sha1Hash::Calc(const std::wstring& path, Sha256Hash* sha256) {
    platform::FileHandle file;
    uint32_t error = platform::OpenFileSequential(path, file);
    if (error != WinError::kSuccess) {
        Log().Error(L"CalcFromFile: CreateFileW failed. (filename: %ls, lastError: %d)", path, error);
        ThrowIMException(ErrorCode::kHashFileOpenFailed);
    }
    DigestStream hash;
    error = hash.Create(sha256 != nullptr ? DigestStream::Sha256::InLine : DigestStream::Sha256::None);
    if (error != WinError::kSuccess) {
        Log().Error(L"CalcFromFile: CryptCreateHash failed. (filename: %ls, lastError: %d)", path, error);
        ThrowIMException(ErrorCode::kHashFailed);
    }
    uint8_t chunk[kChunkSize];
    for (;;) {
        uint32_t count = 0;
        error = platform::ReadFileChunk(file, chunk, kChunkSize, count);
        if (error != WinError::kSuccess) {
            Log().Error(L"CalcFromFile: ReadFile failed. (filename: %ls, lastError: %d)", path, error);
            ThrowIMException(ErrorCode::kHashFailed);
        }
        if (count == 0) {
            break;
        }
        error = hash.Add(chunk, count);
        if (error != WinError::kSuccess) {
            Log().Error(L"CalcFromFile: CryptHashData failed. (filename: %ls, lastError: %d)", path, error);
            ThrowIMException(ErrorCode::kHashFailed);
        }
    }
    FileDigests digests;
    error = hash.Finish(digests);
    if (error != WinError::kSuccess) {
        Log().Error(L"CalcFromFile: CryptGetHashParam failed. (filename: %ls, lastError: %d)", path, error);
        ThrowIMException(ErrorCode::kHashFailed);
    }
    hashText = digests.sha1.hashText;
    if (sha256 != nullptr) {
        *sha256 = digests.sha256;
    }
}

int Sha1Hash::Compare(const char* other) const {
    const char* mine = hashText.c_str();
    std::size_t i = 0;
    for (; mine[i] != '\0' && other[i] != '\0'; ++i) {
        if (mine[i] != other[i]) {
            return static_cast<signed char>(mine[i]) - static_cast<signed char>(other[i]);
        }
    }
    if (mine[i] == other[i]) {
        return 0;
    }
    return mine[i] != '\0' ? 1 : -1;
}

} // namespace ZEPMaintenance
