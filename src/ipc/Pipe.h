// The common part of both ends of a named pipe: the connection, its receive and send threads with their
// queues, reading, writing and closing.
#pragma once

#include "base/UniqueHandle.h"
#include "diag/Logger.h"
#include "ipc/MessageQueue.h"
#include "ipc/PipeMessage.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace ZEPMaintenance {

// Bits of a pipe's mode: the directions its owner uses.
enum PipeMode : uint32_t { ReadMode = 1, WriteMode = 2 };

// A wait that never times out.
inline constexpr uint32_t kWaitForever = 0xFFFFFFFF;
// How long a write waits for a reader that takes nothing: the default time-out of the pipe's creation.
inline constexpr uint32_t kPipeWriteTimeoutMs = 5000;

namespace platform {

// One end of a pipe: each platform defines what its state holds, released with the state.
struct PipeState;
void Destroy(PipeState* state) noexcept;
using PipeHandle = PlatformHandle<PipeState*>;

} // namespace platform

// The first read or write that failed on a connection: code 150 for a read by the receive thread,
// which ends the connection, 151 for a write, with the system error of the call; code 0 while none has.
struct PipeFailure {
    int32_t code = 0;
    uint32_t systemError = 0;
};

// One object serves one connection: once closed, it stays closed. Create, Connect, Bind, WaitForThreads
// and destruction belong to the owner's thread; Read, WriteSynch, IsClosed, Close and LastFailure may
// be called from any thread.
class Pipe {
public:
    virtual ~Pipe();
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;

    // The next received message, without waiting; false on a closed pipe or when none is there.
    bool Read(PipeMessage& message);
    // Writes one frame on the caller's thread. A closed pipe or a reader that is closing its end takes
    // nothing, quietly; a reader that takes nothing for the write time-out ends the conversation with a
    // warning (the pipe closes, failure 151); any other failure throws 151.
    void WriteSynch(const PipeMessage& message);
    bool IsClosed() const;
    // Ends the connection (idempotent): queued messages are discarded, the threads and a waiting Bind
    // return, the peer sees the end. Does not wait for the threads.
    void Close();
    // Waits without limit until the receive and send threads have ended; after Close they end at once.
    void WaitForThreads();
    bool HasReceiveThread() const { return receiveThread_.joinable(); }
    bool HasSendThread() const { return sendThread_.joinable(); }
    PipeFailure LastFailure() const;

    // The full pipe path, for example \\.\pipe\ZEPMaintenance_4711_318, and the mode; empty and 0
    // before Create or Connect.
    const std::wstring& GetName() const { return name_; }
    uint32_t GetMode() const { return mode_; }

protected:
    Pipe();

    // First step of Create and Connect: drops what an earlier call left, then takes name and mode.
    void Reset(const std::wstring& name, uint32_t mode);
    // Takes the opened pipe over; a pipe closed meanwhile lets it go again at once.
    void Adopt(platform::PipeHandle pipe);
    // The connection for one call on it, empty once closed; it lives as long as some call uses it.
    std::shared_ptr<const platform::PipeHandle> Connection() const;
    // Starts the receive thread with ReadMode and the send thread with WriteMode; 148 on failure.
    void StartWorkerThreads();
    void SetWriteTimeout(uint32_t milliseconds) { writeTimeoutMs_ = milliseconds; }

private:
    void ReceiveWorker(std::shared_ptr<const platform::PipeHandle> connection, MessageQueue* queue);
    void SendWorker(MessageQueue* queue);
    // The closed flag without the "IsClosed" trace, for the pipe's own decisions.
    bool ClosedNow() const;
    void RecordFailure(int32_t code, uint32_t systemError);

    std::wstring name_;
    uint32_t mode_ = 0;
    uint32_t writeTimeoutMs_ = kPipeWriteTimeoutMs;
    mutable std::mutex lock_;
    bool closed_ = false;
    PipeFailure failure_;
    std::shared_ptr<const platform::PipeHandle> connection_;
    std::unique_ptr<MessageQueue> receiveQueue_ = std::make_unique<MessageQueue>();
    std::unique_ptr<MessageQueue> sendQueue_;
    std::thread receiveThread_;
    std::thread sendThread_;
    Logger logger{L"Pipe"};
};

} // namespace ZEPMaintenance
