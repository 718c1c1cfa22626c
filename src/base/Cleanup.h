// A scope guard: a tear-down that runs on every way out of its scope, an exception included, unless
// it is cancelled first.
#pragma once

#include <utility>

namespace ZEPMaintenance {

template <class Action> class Cleanup {
public:
    explicit Cleanup(Action action) : action_(std::move(action)) {}
    ~Cleanup() {
        if (armed_) {
            action_();
        }
    }
    Cleanup(Cleanup&& other)
        : action_(std::move(other.action_)), armed_(std::exchange(other.armed_, false)) {}
    Cleanup(const Cleanup&) = delete;
    Cleanup& operator=(const Cleanup&) = delete;
    Cleanup& operator=(Cleanup&&) = delete;

    // The tear-down is not needed after all: what it undoes has been handed on or undone otherwise.
    void Cancel() noexcept { armed_ = false; }

private:
    Action action_;
    bool armed_ = true;
};

} // namespace ZEPMaintenance
