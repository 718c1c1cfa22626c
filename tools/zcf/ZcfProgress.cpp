// zcf: the progress line on a terminal's standard error.
#include "ZcfProgress.h"

#include <cstdio>
#include <unistd.h>

namespace zcf {

namespace {
constexpr auto kRedrawInterval = std::chrono::milliseconds(100);
}

Progress::Progress(std::string verb, std::size_t total)
    : verb_(std::move(verb)), total_(total), shown_(total != 0 && isatty(STDERR_FILENO) == 1) {}

Progress::~Progress() {
    if (drawn_) {
        // Back to the start of the line, erased to its end.
        std::fputs("\r\x1b[K", stderr);
        std::fflush(stderr);
    }
}

void Progress::Advance() {
    ++done_;
    if (!shown_) {
        return;
    }
    const auto now = std::chrono::steady_clock::now();
    if (done_ == total_ || !drawn_ || now - last_ >= kRedrawInterval) {
        last_ = now;
        Draw();
    }
}

void Progress::Draw() {
    std::fprintf(stderr, "\r%s %zu/%zu files\x1b[K", verb_.c_str(), done_, total_);
    std::fflush(stderr);
    drawn_ = true;
}

} // namespace zcf
