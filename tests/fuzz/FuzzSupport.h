// Fuzzing support: a scratch file for the readers that take a path, written afresh for each input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace ZEPMaintenance::fuzz {

// One file per process in a private temporary folder, replaced by each input's bytes. In memory where
// possible: ext4 flushes a file truncated and written again when it is closed, which would make every
// input wait for the disk.
inline const std::string& ScratchFile() {
    static const std::string path = [] {
        const char* base = std::getenv("ZEP_FUZZ_SCRATCH");
        const bool shm = access("/dev/shm", W_OK) == 0;
        std::string folder = std::string(base != nullptr && *base != '\0' ? base
                                         : shm                            ? "/dev/shm"
                                                                          : "/tmp") +
                             "/zepfuzz.XXXXXX";
        if (mkdtemp(folder.data()) == nullptr) {
            std::abort();
        }
        static std::string made;
        made = folder;
        std::atexit([] {
            unlink((made + "/input").c_str());
            rmdir(made.c_str());
        });
        return folder + "/input";
    }();
    return path;
}

inline void WriteScratch(const uint8_t* data, std::size_t size) {
    const int fd = open(ScratchFile().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        std::abort();
    }
    std::size_t done = 0;
    while (done < size) {
        const ssize_t count = write(fd, data + done, size - done);
        if (count <= 0) {
            std::abort();
        }
        done += static_cast<std::size_t>(count);
    }
    close(fd);
}

} // namespace ZEPMaintenance::fuzz
