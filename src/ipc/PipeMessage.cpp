// The frame of a pipe message: serializing and parsing.
#include "ipc/PipeMessage.h"

#include "system/Text.h"

#include <string_view>

namespace ZEPMaintenance {

namespace {

void AppendLittleEndian(std::vector<uint8_t>& bytes, uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) {
        bytes.push_back(static_cast<uint8_t>(value >> shift));
    }
}

uint32_t ReadLittleEndian(const uint8_t* bytes) {
    return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
           static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

} // namespace

std::vector<uint8_t> SerializeMessage(const PipeMessage& message) {
    const std::string text = WideToMultiByte(message.msg, kUtf8CodePage);
    std::vector<uint8_t> frame;
    frame.reserve(kFrameHeaderBytes + text.size());
    AppendLittleEndian(frame, static_cast<uint32_t>(message.id));
    AppendLittleEndian(frame, static_cast<uint32_t>(text.size()));
    frame.insert(frame.end(), text.begin(), text.end());
    return frame;
}

bool ParseMessage(const uint8_t* bytes, std::size_t count, PipeMessage& message) {
    if (count == 0) {
        return true;
    }
    if (count < 4) {
        return false;
    }
    message.id = static_cast<int32_t>(ReadLittleEndian(bytes));
    if (count - 4 < 4) {
        return false;
    }
    // The length is the peer's word: checked against what arrived before anything is read by it.
    const uint32_t length = ReadLittleEndian(bytes + 4);
    if (count - kFrameHeaderBytes < length) {
        return false;
    }
    message.msg =
        length == 0 ? std::wstring()
                    : MultiByteToWide(
                          std::string_view(reinterpret_cast<const char*>(bytes) + kFrameHeaderBytes, length),
                          kUtf8CodePage);
    return true;
}

} // namespace ZEPMaintenance
