// zcf: one updating line on standard error for long runs, shown only when standard error is a terminal.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

namespace zcf {

// "hashing 1234/20000 files", redrawn in place at most ten times a second and once at the end; cleared
// when done, so that what follows on the terminal starts on a clean line. Nothing at all when standard
// error is a file or a pipe: logs and scripts get only the results and the errors.
class Progress {
public:
    Progress(std::string verb, std::size_t total);
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    void Advance();

private:
    void Draw();

    std::string verb_;
    std::size_t total_;
    std::size_t done_ = 0;
    bool shown_;
    bool drawn_ = false;
    std::chrono::steady_clock::time_point last_{};
};

} // namespace zcf
