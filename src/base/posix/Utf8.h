// Linux side: UTF-8 to and from wide text (UTF-32), for text and for file names.
#pragma once

#include <string>
#include <string_view>

namespace ZEPMaintenance::posix {

enum class InvalidBytes {
    // Text: what cannot be converted becomes U+FFFD, as the Windows conversions do.
    Replace,
    // File names: a byte that is not UTF-8 becomes U+DC80..U+DCFF and turns back into the same byte,
    // so every name on disk survives the round trip through wide text.
    Escape,
};

std::string EncodeUtf8(std::wstring_view text, InvalidBytes mode);
std::wstring DecodeUtf8(std::string_view bytes, InvalidBytes mode);

} // namespace ZEPMaintenance::posix
