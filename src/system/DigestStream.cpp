// DigestStream: SHA-1 and SHA-256 over the same chunks, and their values as hash text.
#include "system/DigestStream.h"

#include "base/WinError.h"

#include <string>

namespace ZEPMaintenance {

namespace {

constexpr uint32_t kSha1Size = 20;
constexpr uint32_t kSha256Size = 32;

uint32_t HexValue(platform::HashHandle& hash, uint32_t size, const char* digits, std::string& text) {
    uint8_t digest[kSha256Size];
    uint32_t length = size;
    const uint32_t error = platform::GetHashValue(hash, digest, length);
    if (error != WinError::kSuccess) {
        return error;
    }
    if (length != size) {
        return WinError::kInvalidParameter;
    }
    text.clear();
    for (uint32_t i = 0; i < length; ++i) {
        text += digits[digest[i] >> 4];
        text += digits[digest[i] & 0x0F];
    }
    return WinError::kSuccess;
}

} // namespace

uint32_t DigestStream::Create(bool withSha256) {
    const uint32_t error = platform::CreateSha1Hash(sha1);
    if (error != WinError::kSuccess || !withSha256) {
        return error;
    }
    return platform::CreateSha256Hash(sha256);
}

uint32_t DigestStream::Add(const uint8_t* data, uint32_t count) {
    const uint32_t error = platform::HashData(sha1, data, count);
    if (error != WinError::kSuccess || !sha256) {
        return error;
    }
    return platform::HashData(sha256, data, count);
}

uint32_t DigestStream::Finish(FileDigests& digests) {
    std::string sha1Text;
    uint32_t error = HexValue(sha1, kSha1Size, "0123456789ABCDEF", sha1Text);
    if (error != WinError::kSuccess) {
        return error;
    }
    std::string sha256Text;
    if (sha256) {
        error = HexValue(sha256, kSha256Size, "0123456789abcdef", sha256Text);
        if (error != WinError::kSuccess) {
            return error;
        }
    }
    digests.sha1.LoadFromString(sha1Text);
    digests.sha256.LoadFromString(sha256Text);
    return WinError::kSuccess;
}

} // namespace ZEPMaintenance
