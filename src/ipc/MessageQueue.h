// A first-in first-out queue of pipe messages between a pipe's thread and its owner.
#pragma once

#include "ipc/PipeMessage.h"

#include <condition_variable>
#include <deque>
#include <mutex>

namespace ZEPMaintenance {

class MessageQueue {
public:
    // Appends and wakes one waiter; a closed queue takes nothing more.
    void Push(PipeMessage message);
    // Takes the first message when the queue is open and not empty; never waits.
    bool TryPop(PipeMessage& message);
    // Waits without limit for a message or for Close; false once closed.
    bool WaitPop(PipeMessage& message);
    // Discards every queued message and wakes all waiters, for good.
    void Close();

private:
    std::mutex lock_;
    std::condition_variable ready_;
    std::deque<PipeMessage> items_;
    bool closed_ = false;
};

} // namespace ZEPMaintenance
