// zcf inspect: the header fields of a container read from its bytes, each checked on its own, so that a
// damaged container still shows everything up to the damage.
#include "ZcfInspect.h"

#include "UpdateFolder.h"
#include "ZcfKeys.h"

#include "system/posix/PosixSupport.h"
#include "upgrade/SignedManifestFile.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace zcf {

const char kInspectHelp[] = R"(zcf inspect CONTAINER

Prints a container's header fields (magic, reserved bytes, key id, signature length), the signature
and the XML, without verifying anything. A damaged container still gets every field the file holds,
as far as it holds it, and one "damaged:" line for each part that is wrong (the magic, a field the
file ends inside, a signature length beyond the file, a size the program refuses unread), then
the program reader's verdict; the exit code is then 3.
)";

namespace {

using ZEPMaintenance::SignedManifestFile;

std::string Hex(const uint8_t* bytes, std::size_t size) {
    std::string text;
    char pair[3];
    for (std::size_t i = 0; i < size; ++i) {
        std::snprintf(pair, sizeof pair, "%02X", bytes[i]);
        text += pair;
    }
    return text;
}

std::string Printable(const uint8_t* bytes, std::size_t size) {
    std::string text;
    for (std::size_t i = 0; i < size; ++i) {
        text += bytes[i] >= 0x20 && bytes[i] < 0x7F ? static_cast<char>(bytes[i]) : '.';
    }
    return text;
}

// At most limit bytes of the file, and its size; a FIFO, device or link is refused unread.
std::vector<uint8_t> ReadPrefix(const std::string& path, std::size_t limit, uint64_t& size) {
    ZEPMaintenance::posix::UniqueFd fd;
    struct stat status {};
    const uint32_t error = ZEPMaintenance::posix::OpenObject(
        path, O_RDONLY, ZEPMaintenance::posix::ObjectKind::File, fd, &status);
    if (error != 0) {
        throw ToolError{kExitInput, "cannot read " + path + ": " + DescribeCode(error)};
    }
    size = static_cast<uint64_t>(status.st_size);
    std::vector<uint8_t> bytes(static_cast<std::size_t>(std::min<uint64_t>(size, limit)));
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t count = read(fd.Get(), bytes.data() + done, bytes.size() - done);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0) {
            throw ToolError{kExitInput, "cannot read " + path + ": " + std::strerror(errno)};
        }
        if (count == 0) {
            break;
        }
        done += static_cast<std::size_t>(count);
    }
    bytes.resize(done);
    return bytes;
}

class Fields {
public:
    explicit Fields(const std::vector<uint8_t>& bytes) : bytes_(bytes) {}

    // The next size bytes, or as many as are left; damage noted when the file ends inside the field.
    std::vector<uint8_t> Take(std::size_t size, const char* field) {
        const std::size_t have = std::min(size, bytes_.size() - at_);
        std::vector<uint8_t> part(bytes_.begin() + static_cast<std::ptrdiff_t>(at_),
                                  bytes_.begin() + static_cast<std::ptrdiff_t>(at_ + have));
        at_ += have;
        if (have < size) {
            Damaged(std::string("the file ends inside the ") + field + " (" + std::to_string(have) + " of " +
                    std::to_string(size) + " bytes)");
        }
        return part;
    }
    std::size_t Left() const { return bytes_.size() - at_; }
    bool Ended() const { return at_ == bytes_.size(); }
    void Damaged(const std::string& text) { damage_.push_back(text); }
    const std::vector<std::string>& Damage() const { return damage_; }

private:
    const std::vector<uint8_t>& bytes_;
    std::size_t at_ = 0;
    std::vector<std::string> damage_;
};

std::string Partial(const std::vector<uint8_t>& part, std::size_t size, const std::string& text) {
    return part.size() == size
               ? text
               : text + " (" + std::to_string(part.size()) + " of " + std::to_string(size) + " bytes)";
}

} // namespace

int InspectContainer(const std::string& path) {
    uint64_t size = 0;
    const std::vector<uint8_t> bytes = ReadPrefix(path, SignedManifestFile::kContainerLimit, size);
    Fields fields(bytes);
    if (size > SignedManifestFile::kContainerLimit) {
        fields.Damaged("the file has " + std::to_string(size) + " bytes, more than the " +
                       std::to_string(SignedManifestFile::kContainerLimit) + " the program reads");
    }
    const std::vector<uint8_t> magic = fields.Take(SignedManifestFile::kMagicSize, "magic");
    std::printf(
        "magic:            %s\n",
        Partial(magic, SignedManifestFile::kMagicSize, Printable(magic.data(), magic.size())).c_str());
    if (magic.size() == SignedManifestFile::kMagicSize &&
        std::memcmp(magic.data(), "ZEPSIG1", magic.size()) != 0) {
        fields.Damaged("the magic is not ZEPSIG1: not a container");
    }
    if (!fields.Ended()) {
        const std::vector<uint8_t> reserved =
            fields.Take(SignedManifestFile::kReservedSize, "reserved bytes");
        std::printf("reserved:         %s\n", Partial(reserved, SignedManifestFile::kReservedSize,
                                                      Hex(reserved.data(), reserved.size()))
                                                  .c_str());
    }
    if (!fields.Ended()) {
        const std::vector<uint8_t> keyId = fields.Take(SignedManifestFile::kKeyIdSize, "key id");
        std::printf(
            "key id:           %s\n",
            Partial(keyId, SignedManifestFile::kKeyIdSize, Printable(keyId.data(), keyId.size())).c_str());
    }
    bool lengthRead = false;
    uint32_t signatureLength = 0;
    if (!fields.Ended()) {
        const std::vector<uint8_t> length = fields.Take(4, "signature length");
        if (length.size() == 4) {
            signatureLength = static_cast<uint32_t>(length[0]) | static_cast<uint32_t>(length[1]) << 8 |
                              static_cast<uint32_t>(length[2]) << 16 | static_cast<uint32_t>(length[3]) << 24;
            lengthRead = true;
            std::printf("signature length: %u\n", signatureLength);
        } else {
            std::printf("signature length: %s\n",
                        Partial(length, 4, Hex(length.data(), length.size())).c_str());
        }
    }
    if (lengthRead) {
        const bool fits = signatureLength <= size - SignedManifestFile::kHeaderSize;
        if (!fits) {
            fields.Damaged("the signature length " + std::to_string(signatureLength) + " is more than the " +
                           std::to_string(size - SignedManifestFile::kHeaderSize) +
                           " bytes after the header");
        }
        std::vector<uint8_t> signature =
            fields.Take(std::min<std::size_t>(signatureLength, fields.Left()), "signature");
        std::printf("signature:        %s\n",
                    Partial(signature, signatureLength, Hex(signature.data(), signature.size())).c_str());
        if (fits) {
            const std::size_t dataLength = fields.Left();
            const std::vector<uint8_t> data = fields.Take(dataLength, "data");
            std::printf("data length:      %zu\n", data.size());
            std::printf("data:\n");
            std::fwrite(data.data(), 1, data.size(), stdout);
            if (!data.empty() && data.back() != '\n') {
                std::printf("\n");
            }
        }
    }
    // The program's own reader has the last word: what it refuses is damaged, whatever was printed.
    SignedManifestFile image;
    const uint32_t code = image.LoadFile(ZEPMaintenance::posix::WidePath(path).c_str());
    if (code != 0 && fields.Damage().empty()) {
        fields.Damaged("the program's reader refuses it");
    }
    for (const std::string& damage : fields.Damage()) {
        std::printf("damaged: %s\n", damage.c_str());
    }
    if (code != 0) {
        std::printf("reader: LoadFile failed: %s\n", DescribeCode(code).c_str());
    }
    if (!fields.Damage().empty() || code != 0) {
        std::fflush(stdout);
        throw ToolError{kExitInput, path + " is damaged: " + fields.Damage().front()};
    }
    return 0;
}

} // namespace zcf
