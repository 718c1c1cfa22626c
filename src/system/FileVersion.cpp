// FileVersion: comparison and text form of a file's version numbers.
#include "system/FileVersion.h"

#include <algorithm>

namespace ZEPMaintenance {

int FileVersion::Compare(const FileVersion& other) const {
    const std::size_t shared = std::min(numbers_.size(), other.numbers_.size());
    for (std::size_t i = 0; i < shared; ++i) {
        if (numbers_[i] != other.numbers_[i]) {
            return numbers_[i] < other.numbers_[i] ? -1 : 1;
        }
    }
    const bool thisLonger = numbers_.size() > other.numbers_.size();
    const std::vector<int32_t>& longer = thisLonger ? numbers_ : other.numbers_;
    for (std::size_t i = shared; i < longer.size(); ++i) {
        if (longer[i] > 0) {
            return thisLonger ? 1 : -1;
        }
    }
    return 0;
}

std::wstring FileVersion::ToString() const {
    std::wstring text;
    for (std::size_t i = 0; i < numbers_.size(); ++i) {
        if (i > 0) {
            text += L'.';
        }
        text += std::to_wstring(numbers_[i]);
    }
    return text;
}

} // namespace ZEPMaintenance
