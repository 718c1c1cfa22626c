// Test support: a fresh temporary folder, removed with its content at the end of the test.
#pragma once

#include <filesystem>
#include <string>

namespace ZEPMaintenance::test {

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    // The folder with a trailing path separator, as File and Directory paths carry it.
    std::wstring Path() const;
    const std::filesystem::path& FsPath() const { return path_; }

private:
    std::filesystem::path path_;
};

} // namespace ZEPMaintenance::test
