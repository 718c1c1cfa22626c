// One message of the GUI pipe and its frame: a 32-bit id, a 32-bit text length and the text in UTF-8,
// little-endian, one frame per pipe message.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ZEPMaintenance {

struct PipeMessage {
    int32_t id = 0;
    std::wstring msg;

    bool operator==(const PipeMessage&) const = default;
};

// Both ends read and write at most this many bytes at once, so a longer frame fails the read.
inline constexpr std::size_t kMaxFrameBytes = 4096;
inline constexpr std::size_t kFrameHeaderBytes = 8;

// The text is written up to its first NUL; the frame is not limited here, the reader refuses one over
// kMaxFrameBytes.
std::vector<uint8_t> SerializeMessage(const PipeMessage& message);

// Reads one frame of count bytes. Nothing at all is a frame that sets nothing; a frame cut short
// before its header or text ends gives false. Bytes after the text are ignored; text that is not UTF-8
// reads as U+FFFD.
bool ParseMessage(const uint8_t* bytes, std::size_t count, PipeMessage& message);

} // namespace ZEPMaintenance
