// DigestStream: SHA-1 and SHA-256 over the same chunks, the SHA-256 on a thread of its own where asked,
// and their values as hash text.
#include "system/DigestStream.h"

#include "base/WinError.h"

#include <condition_variable>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

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

// One chunk at a time is in hand: the caller reads the next chunk into another buffer meanwhile.
class DigestStream::Beside {
public:
    explicit Beside(platform::HashHandle& hash) : hash_(hash), thread_(&Beside::Run, this) {}

    ~Beside() {
        {
            std::unique_lock lock(mutex_);
            done_.wait(lock, [this] { return data_ == nullptr; });
            stop_ = true;
        }
        ready_.notify_one();
        thread_.join();
    }

    // Waits for the chunk before; the first error of any chunk so far.
    uint32_t Hand(const uint8_t* data, uint32_t count) {
        {
            std::unique_lock lock(mutex_);
            done_.wait(lock, [this] { return data_ == nullptr; });
            if (error_ != WinError::kSuccess) {
                return error_;
            }
            data_ = data;
            count_ = count;
        }
        ready_.notify_one();
        return WinError::kSuccess;
    }

    uint32_t Wait() {
        std::unique_lock lock(mutex_);
        done_.wait(lock, [this] { return data_ == nullptr; });
        return error_;
    }

private:
    void Run() {
        std::unique_lock lock(mutex_);
        for (;;) {
            ready_.wait(lock, [this] { return data_ != nullptr || stop_; });
            if (data_ == nullptr) {
                return;
            }
            const uint8_t* const data = data_;
            const uint32_t count = count_;
            const uint32_t before = error_;
            lock.unlock();
            const uint32_t error =
                before == WinError::kSuccess ? platform::HashData(hash_, data, count) : before;
            lock.lock();
            error_ = error;
            data_ = nullptr;
            done_.notify_one();
        }
    }

    platform::HashHandle& hash_;
    std::mutex mutex_;
    std::condition_variable ready_;
    std::condition_variable done_;
    const uint8_t* data_ = nullptr;
    uint32_t count_ = 0;
    uint32_t error_ = WinError::kSuccess;
    bool stop_ = false;
    std::thread thread_;
};

DigestStream::DigestStream() = default;
DigestStream::~DigestStream() = default;

uint32_t DigestStream::Create(Sha256 kind) {
    uint32_t error = platform::CreateSha1Hash(sha1);
    if (error != WinError::kSuccess || kind == Sha256::None) {
        return error;
    }
    error = platform::CreateSha256Hash(sha256);
    besideWanted = kind == Sha256::BesideCaller;
    return error;
}

uint32_t DigestStream::Add(const uint8_t* data, uint32_t count) {
    // From the second chunk on: a file of one chunk is not worth a thread.
    if (besideWanted && fedInLine) {
        besideWanted = false;
        try {
            beside = std::make_unique<Beside>(sha256);
        } catch (const std::system_error&) {
            // No thread to be had: hashed in line, the same digests a little later.
        }
    }
    uint32_t error = WinError::kSuccess;
    if (beside) {
        error = beside->Hand(data, count);
    } else if (sha256) {
        error = platform::HashData(sha256, data, count);
        fedInLine = true;
    }
    if (error != WinError::kSuccess) {
        return error;
    }
    return platform::HashData(sha1, data, count);
}

uint32_t DigestStream::Finish(FileDigests& digests) {
    if (beside) {
        const uint32_t error = beside->Wait();
        beside.reset();
        if (error != WinError::kSuccess) {
            return error;
        }
    }
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
