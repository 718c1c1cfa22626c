// Pipe: the connection's lifetime, the receive and send threads, reading, writing and closing.
#include "ipc/Pipe.h"

#include "base/WinError.h"
#include "diag/IMException.h"
#include "ipc/PipePrimitives.h"

#include <system_error>
#include <vector>

namespace ZEPMaintenance {

namespace {
// std::thread says only that no thread could be had; CreateThread's number for that.
constexpr uint32_t kNoThread = WinError::kNotEnoughMemory;
} // namespace

Pipe::Pipe() = default;

Pipe::~Pipe() {
    logger.DebugText(L"~Pipe");
    Close();
    WaitForThreads();
}

void Pipe::Reset(const std::wstring& name, uint32_t mode) {
    // Threads end only with their connection, and with it the object's one conversation.
    if (receiveThread_.joinable() || sendThread_.joinable()) {
        Close();
    }
    WaitForThreads();
    std::lock_guard guard(lock_);
    if (connection_) {
        platform::ShutdownPipe(*connection_);
        connection_.reset();
    }
    receiveQueue_->Close();
    receiveQueue_ = std::make_unique<MessageQueue>();
    if (sendQueue_) {
        sendQueue_->Close();
        sendQueue_.reset();
    }
    name_ = name;
    mode_ = mode;
}

void Pipe::Adopt(platform::PipeHandle pipe) {
    auto connection = std::make_shared<const platform::PipeHandle>(std::move(pipe));
    std::lock_guard guard(lock_);
    if (closed_) {
        platform::ShutdownPipe(*connection);
        return;
    }
    connection_ = std::move(connection);
}

std::shared_ptr<const platform::PipeHandle> Pipe::Connection() const {
    std::lock_guard guard(lock_);
    return connection_;
}

void Pipe::StartWorkerThreads() {
    enum class Failed { None, Receive, Send } failed = Failed::None;
    {
        std::lock_guard guard(lock_);
        // Closed while the connection was made, no thread would ever have anything to do; a second Bind
        // finds its threads running.
        if (closed_ || !connection_ || receiveThread_.joinable() || sendThread_.joinable()) {
            return;
        }
        try {
            if ((mode_ & ReadMode) != 0) {
                failed = Failed::Receive;
                receiveThread_ = std::thread(&Pipe::ReceiveWorker, this, connection_, receiveQueue_.get());
            }
            if ((mode_ & WriteMode) != 0) {
                // Made with the thread rather than by it, so that a Close coming first still ends it.
                sendQueue_ = std::make_unique<MessageQueue>();
                failed = Failed::Send;
                sendThread_ = std::thread(&Pipe::SendWorker, this, sendQueue_.get());
            }
            failed = Failed::None;
        } catch (const std::system_error&) {
        }
    }
    if (failed == Failed::None) {
        return;
    }
    if (failed == Failed::Receive) {
        logger.Error(L"Create: CreateReceiveWorkerThread failed. (lastError: %d)", kNoThread);
    } else {
        logger.Error(L"CreateSendWorkerThread: CreateThread failed. (lastError: %d)", kNoThread);
    }
    Close();
    ThrowIMException(ErrorCode::kPipeThreadFailed);
}

void Pipe::ReceiveWorker(std::shared_ptr<const platform::PipeHandle> connection, MessageQueue* queue) {
    logger.DebugText(L"ReceiveWorker");
    std::vector<uint8_t> buffer(kMaxFrameBytes);
    uint32_t error = WinError::kSuccess;
    for (;;) {
        std::size_t got = 0;
        error = platform::ReadPipe(*connection, buffer.data(), buffer.size(), got);
        if (error != WinError::kSuccess) {
            break;
        }
        // An empty message is the end of the stream on Linux; it ends the conversation on both.
        if (got == 0) {
            error = WinError::kBrokenPipe;
            break;
        }
        PipeMessage message;
        if (!ParseMessage(buffer.data(), got, message)) {
            logger.Warn(L"Receive: Malformed message dropped. (bytes: %d)", static_cast<int32_t>(got));
            continue;
        }
        queue->Push(std::move(message));
    }
    // The owner's Close ended the read: nothing failed.
    if (ClosedNow()) {
        return;
    }
    if (error == WinError::kBrokenPipe) {
        logger.InfoText(L"Receive: Client Disconnect");
    } else {
        logger.Error(L"Receive: ReadFile failed. (lastError: %d)", error);
        RecordFailure(ErrorCode::kPipeReadFailed, error);
    }
    Close();
}

void Pipe::SendWorker(MessageQueue* queue) {
    logger.DebugText(L"SendWorker");
    PipeMessage message;
    try {
        while (queue->WaitPop(message)) {
            WriteSynch(message);
        }
    } catch (const IMException&) {
        // WriteSynch has logged and recorded the failure; the thread ends with the connection.
    }
    Close();
}

bool Pipe::Read(PipeMessage& message) {
    logger.DebugText(L"Read");
    if (IsClosed()) {
        return false;
    }
    if ((mode_ & ReadMode) == 0) {
        logger.Warn(L"SendWorker - ReadMode is not enabled!");
        return false;
    }
    if (!receiveQueue_->TryPop(message)) {
        return false;
    }
    logger.Debug(L"Read: [msg.id: %d, msg.msg: %ls]", message.id, message.msg);
    return true;
}

void Pipe::WriteSynch(const PipeMessage& message) {
    logger.Debug(L"WriteSynch: [msg.id: %d, msg.msg: %ls]", message.id, message.msg);
    if (IsClosed()) {
        return;
    }
    if ((mode_ & WriteMode) == 0) {
        logger.Warn(L"SendWorker - WriteMode is not enabled!");
        return;
    }
    const auto connection = Connection();
    if (!connection) {
        return;
    }
    const std::vector<uint8_t> frame = SerializeMessage(message);
    logger.Info(L"Sending %d bytes", static_cast<int32_t>(frame.size()));
    const uint32_t error = platform::WritePipe(*connection, frame.data(), frame.size(), writeTimeoutMs_);
    if (error == WinError::kSuccess || error == WinError::kNoData || ClosedNow()) {
        return;
    }
    if (error == platform::kPipeWaitTimedOut) {
        // A reader that takes nothing must not hold the writer up: the conversation ends here.
        logger.Warn(L"WriteSynch: Reader takes no messages, pipe closed. (lastError: %d)", error);
        RecordFailure(ErrorCode::kPipeWriteFailed, error);
        Close();
        return;
    }
    logger.Error(L"WriteSynch: WriteFile failed. (lastError: %d)", error);
    RecordFailure(ErrorCode::kPipeWriteFailed, error);
    ThrowIMException(ErrorCode::kPipeWriteFailed);
}

bool Pipe::IsClosed() const {
    logger.DebugText(L"IsClosed");
    return ClosedNow();
}

bool Pipe::ClosedNow() const {
    std::lock_guard guard(lock_);
    return closed_;
}

void Pipe::Close() {
    std::lock_guard guard(lock_);
    if (closed_) {
        return;
    }
    closed_ = true;
    // The handle itself goes with the last call that uses it; the threads return at once.
    if (connection_) {
        platform::ShutdownPipe(*connection_);
        connection_.reset();
    }
    receiveQueue_->Close();
    if (sendQueue_) {
        sendQueue_->Close();
    }
}

void Pipe::WaitForThreads() {
    for (std::thread* thread : {&receiveThread_, &sendThread_}) {
        if (thread->joinable() && thread->get_id() != std::this_thread::get_id()) {
            thread->join();
        }
    }
}

PipeFailure Pipe::LastFailure() const {
    std::lock_guard guard(lock_);
    return failure_;
}

void Pipe::RecordFailure(int32_t code, uint32_t systemError) {
    std::lock_guard guard(lock_);
    if (failure_.code == 0) {
        failure_ = PipeFailure{code, systemError};
    }
}

} // namespace ZEPMaintenance
