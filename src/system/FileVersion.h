// The version of a file: an ordered list of numbers (major, minor, build, revision).
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace ZEPMaintenance {

class FileVersion {
public:
    FileVersion() = default;
    FileVersion(std::initializer_list<int32_t> numbers) : numbers_(numbers) {}
    explicit FileVersion(std::vector<int32_t> numbers) : numbers_(std::move(numbers)) {}

    const std::vector<int32_t>& Numbers() const { return numbers_; }
    // -1, 0 or 1. Extra trailing numbers of the longer list count only when one of them is positive.
    int Compare(const FileVersion& other) const;
    // "1.2.3.4"
    std::wstring ToString() const;

    bool operator==(const FileVersion& other) const { return Compare(other) == 0; }
    bool operator<(const FileVersion& other) const { return Compare(other) < 0; }
    bool operator<=(const FileVersion& other) const { return Compare(other) < 1; }

private:
    std::vector<int32_t> numbers_;
};

} // namespace ZEPMaintenance
