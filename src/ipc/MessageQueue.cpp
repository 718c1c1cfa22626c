// MessageQueue: one lock and one condition variable over the queued messages.
#include "ipc/MessageQueue.h"

namespace ZEPMaintenance {

void MessageQueue::Push(PipeMessage message) {
    {
        std::lock_guard guard(lock_);
        if (closed_) {
            return;
        }
        items_.push_back(std::move(message));
    }
    ready_.notify_one();
}

bool MessageQueue::TryPop(PipeMessage& message) {
    std::lock_guard guard(lock_);
    if (closed_ || items_.empty()) {
        return false;
    }
    message = std::move(items_.front());
    items_.pop_front();
    return true;
}

bool MessageQueue::WaitPop(PipeMessage& message) {
    std::unique_lock guard(lock_);
    ready_.wait(guard, [this] { return closed_ || !items_.empty(); });
    if (closed_) {
        return false;
    }
    message = std::move(items_.front());
    items_.pop_front();
    return true;
}

void MessageQueue::Close() {
    {
        std::lock_guard guard(lock_);
        items_.clear();
        closed_ = true;
    }
    ready_.notify_all();
}

} // namespace ZEPMaintenance
