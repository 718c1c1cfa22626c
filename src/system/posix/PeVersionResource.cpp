// Linux side of FileVersion: a bounded reader of the PE resource tree down to the version resource.
#include "system/posix/PeVersionResource.h"

#include "base/WinError.h"
#include "system/posix/PosixSupport.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace ZEPMaintenance::posix {

namespace {

constexpr uint32_t kResourceTypeVersion = 16;
constexpr uint32_t kVersionInfoId = 1;
constexpr uint32_t kSubdirectoryBit = 0x80000000u;
constexpr uint32_t kFixedInfoSignature = 0xFEEF04BDu;
// Resource trees nest type, name and language; deeper ones are malformed.
constexpr int kResourceLevels = 3;
// The largest version resource accepted; real ones are a few KiB.
constexpr uint32_t kMaxVersionResource = 1u << 20;

uint16_t U16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

uint32_t U32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

struct Section {
    uint32_t virtualAddress;
    uint32_t virtualSize;
    uint32_t rawSize;
    uint32_t rawOffset;
};

class PeReader {
public:
    explicit PeReader(int fd) : fd_(fd) {}

    // Reads exactly size bytes at offset.
    bool Read(uint64_t offset, void* buffer, std::size_t size) const {
        auto* out = static_cast<uint8_t*>(buffer);
        std::size_t done = 0;
        while (done < size) {
            const ssize_t n =
                RetryAfterSignal(-1, pread, fd_, out + done, size - done, static_cast<off_t>(offset + done));
            if (n <= 0) {
                return false;
            }
            done += static_cast<std::size_t>(n);
        }
        return true;
    }

    bool LoadHeaders() {
        uint8_t dos[64];
        if (!Read(0, dos, sizeof dos) || dos[0] != 'M' || dos[1] != 'Z') {
            return false;
        }
        const uint32_t peOffset = U32(dos + 0x3C);
        uint8_t coff[24];
        if (!Read(peOffset, coff, sizeof coff) || coff[0] != 'P' || coff[1] != 'E' || coff[2] != 0 ||
            coff[3] != 0) {
            return false;
        }
        const uint16_t sectionCount = U16(coff + 6);
        const uint16_t optionalSize = U16(coff + 20);
        std::vector<uint8_t> optional(optionalSize);
        if (optionalSize < 2 || !Read(peOffset + 24, optional.data(), optional.size())) {
            return false;
        }
        const uint16_t magic = U16(optional.data());
        std::size_t countOffset;
        if (magic == 0x10B) {
            countOffset = 92;
        } else if (magic == 0x20B) {
            countOffset = 108;
        } else {
            return false;
        }
        const std::size_t resourceEntry = countOffset + 4 + 2 * 8;
        if (optional.size() >= countOffset + 4 && U32(optional.data() + countOffset) > 2 &&
            optional.size() >= resourceEntry + 8) {
            resourceRva_ = U32(optional.data() + resourceEntry);
            resourceSize_ = U32(optional.data() + resourceEntry + 4);
        }
        std::vector<uint8_t> table(static_cast<std::size_t>(sectionCount) * 40);
        if (!Read(peOffset + 24 + optionalSize, table.data(), table.size())) {
            return false;
        }
        for (uint16_t i = 0; i < sectionCount; ++i) {
            const uint8_t* s = table.data() + i * 40;
            sections_.push_back(Section{U32(s + 12), U32(s + 8), U32(s + 16), U32(s + 20)});
        }
        return true;
    }

    bool HasResources() const { return resourceRva_ != 0 && resourceSize_ != 0; }

    // The file offset of an address in the loaded image, when a section holds it.
    bool ToFileOffset(uint32_t rva, uint32_t size, uint64_t& offset) const {
        for (const Section& s : sections_) {
            const uint32_t extent = s.rawSize;
            if (rva >= s.virtualAddress &&
                static_cast<uint64_t>(rva) + size <= uint64_t{s.virtualAddress} + extent) {
                offset = uint64_t{s.rawOffset} + (rva - s.virtualAddress);
                return true;
            }
        }
        return false;
    }

    // Follows type, name and language below the root; at each level the wanted id or else the
    // first entry, as the loader does for a version resource.
    [[nodiscard]] uint32_t FindVersion(std::vector<uint8_t>& data) const {
        uint32_t directory = 0; // relative to the start of the resource section
        const uint32_t wanted[kResourceLevels] = {kResourceTypeVersion, kVersionInfoId, 0};
        for (int level = 0; level < kResourceLevels; ++level) {
            uint64_t offset = 0;
            uint8_t header[16];
            if (!ToFileOffset(resourceRva_ + directory, sizeof header, offset) ||
                !Read(offset, header, sizeof header)) {
                return WinError::kBadFormat;
            }
            const uint32_t count = uint32_t{U16(header + 12)} + U16(header + 14);
            std::vector<uint8_t> entries(static_cast<std::size_t>(count) * 8);
            if (count == 0 ||
                !ToFileOffset(resourceRva_ + directory + 16, static_cast<uint32_t>(entries.size()), offset) ||
                !Read(offset, entries.data(), entries.size())) {
                return level == 0 ? WinError::kResourceTypeNotFound : WinError::kResourceDataNotFound;
            }
            int chosen = -1;
            for (uint32_t i = 0; i < count; ++i) {
                const uint32_t name = U32(entries.data() + i * 8);
                if ((name & kSubdirectoryBit) == 0 && name == wanted[level]) {
                    chosen = static_cast<int>(i);
                    break;
                }
            }
            if (chosen < 0) {
                if (level == 0) {
                    return WinError::kResourceTypeNotFound;
                }
                chosen = 0;
            }
            const uint32_t target = U32(entries.data() + static_cast<std::size_t>(chosen) * 8 + 4);
            const bool isDirectory = (target & kSubdirectoryBit) != 0;
            if (isDirectory != (level < kResourceLevels - 1)) {
                return WinError::kBadFormat;
            }
            directory = target & ~kSubdirectoryBit;
            if (directory >= resourceSize_) {
                return WinError::kBadFormat;
            }
        }
        uint64_t offset = 0;
        uint8_t entry[16];
        if (!ToFileOffset(resourceRva_ + directory, sizeof entry, offset) ||
            !Read(offset, entry, sizeof entry)) {
            return WinError::kBadFormat;
        }
        const uint32_t dataRva = U32(entry);
        const uint32_t dataSize = U32(entry + 4);
        if (dataSize == 0 || dataSize > kMaxVersionResource || !ToFileOffset(dataRva, dataSize, offset)) {
            return WinError::kResourceDataNotFound;
        }
        data.resize(dataSize);
        return Read(offset, data.data(), data.size()) ? WinError::kSuccess : WinError::kBadFormat;
    }

private:
    int fd_;
    uint32_t resourceRva_ = 0;
    uint32_t resourceSize_ = 0;
    std::vector<Section> sections_;
};

} // namespace

uint32_t ReadVersionResource(const std::string& path, std::vector<uint8_t>& data) {
    const posix::UniqueFd file =
        posix::MakeDescriptor(open, path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (file.Get() < 0) {
        return WinErrorFromErrno(errno);
    }
    PeReader reader(file.Get());
    if (!reader.LoadHeaders()) {
        return WinError::kBadFormat;
    }
    if (!reader.HasResources()) {
        return WinError::kResourceTypeNotFound;
    }
    return reader.FindVersion(data);
}

bool ParseFixedFileVersion(const std::vector<uint8_t>& block, uint32_t& versionMs, uint32_t& versionLs) {
    // wLength, wValueLength, wType, then the key L"VS_VERSION_INFO" with its NUL, padded to 4 bytes.
    static const char16_t kKey[] = u"VS_VERSION_INFO";
    constexpr std::size_t kKeyOffset = 6;
    constexpr std::size_t kKeyBytes = sizeof kKey;
    constexpr std::size_t kValueOffset = (kKeyOffset + kKeyBytes + 3) & ~std::size_t{3};
    constexpr std::size_t kFixedInfoSize = 52;
    if (block.size() < kValueOffset + kFixedInfoSize || U16(block.data() + 2) < kFixedInfoSize) {
        return false;
    }
    for (std::size_t i = 0; i < kKeyBytes / 2; ++i) {
        if (U16(block.data() + kKeyOffset + 2 * i) != static_cast<uint16_t>(kKey[i])) {
            return false;
        }
    }
    const uint8_t* fixed = block.data() + kValueOffset;
    if (U32(fixed) != kFixedInfoSignature) {
        return false;
    }
    versionMs = U32(fixed + 8);
    versionLs = U32(fixed + 12);
    return true;
}

} // namespace ZEPMaintenance::posix
