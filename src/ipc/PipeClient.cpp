// PipeClient: opening the pipe with its retries, log lines and codes.
#include "ipc/PipeClient.h"

#include "base/WinError.h"
#include "diag/IMException.h"
#include "ipc/PipePrimitives.h"

#include <chrono>
#include <thread>

namespace ZEPMaintenance {

namespace {
constexpr int kConnectAttempts = 5;
} // namespace

void SleepMilliseconds(uint32_t milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

PipeClient::PipeClient() = default;

PipeClient::PipeClient(ClientTiming timing) : timing_(std::move(timing)) {
    SetWriteTimeout(timing_.writeTimeoutMs);
}

PipeClient::~PipeClient() {
    logger.DebugText(L"~PipeClient");
}

void PipeClient::Connect(const std::wstring& name, uint32_t mode) {
    logger.Debug(L"Connect: [name: %ls, mode: %u].", name, mode);
    if (name.empty()) {
        logger.Error(L"Connect: Pipe name is empty.");
        ThrowIMException(ErrorCode::kInvalidValue);
    }
    Reset(name, mode);
    platform::PipeHandle pipe;
    uint32_t error = WinError::kSuccess;
    for (int attempt = 0; attempt < kConnectAttempts; ++attempt) {
        error = platform::OpenPipe(name, mode, pipe);
        if (error == WinError::kSuccess) {
            break;
        }
        if (error == WinError::kFileNotFound) {
            // The server has not made the pipe yet.
            timing_.pause(timing_.retryPauseMs);
            continue;
        }
        if (error == WinError::kPipeBusy) {
            const uint32_t waited = platform::WaitForPipe(name, timing_.busyWaitMs);
            if (waited != WinError::kSuccess) {
                logger.Error(L"Connect: Timeout. (lastError: %d)", waited);
                ThrowIMException(ErrorCode::kPipeConnectFailed);
            }
            continue;
        }
        break;
    }
    if (!pipe) {
        logger.Error(L"Connect: Could not opet pipe. (lastError: %d)", error);
        ThrowIMException(ErrorCode::kPipeConnectFailed);
    }
    Adopt(std::move(pipe));
    StartWorkerThreads();
}

} // namespace ZEPMaintenance
