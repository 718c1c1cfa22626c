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

// An administrators' SID, or none, stands for every administrator; any other for that user alone.
bool IsServedBy(const platform::PeerIdentity& peer, const std::optional<CSid>& server) {
    if (!server || *server == CSid::Administrators() || *server == CSid::LocalSystem()) {
        return peer.administrator;
    }
    return peer.user == *server;
}

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

void PipeClient::Connect(const std::wstring& name, uint32_t mode, const std::optional<CSid>& server) {
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
    // Whoever took the name first serves it: the elevated worker's messages go to the run's user only.
    // The connection closes with the handle, before anything is written.
    platform::PeerIdentity peer;
    error = platform::IdentifyPeer(pipe, peer);
    if (error != WinError::kSuccess) {
        logger.Error(L"Connect: Pipe server not identified, pipe not used. (name: %ls, lastError: %d)", name,
                     error);
        ThrowIMException(ErrorCode::kPipeConnectFailed);
    }
    if (!IsServedBy(peer, server)) {
        logger.Error(L"Connect: Pipe served by another user, pipe not used. (name: %ls, server: %ls, "
                     L"serverPid: %u, expected: %ls)",
                     name, peer.user.Sid(), peer.processId, server.value_or(CSid::Administrators()).Sid());
        ThrowIMException(ErrorCode::kPipeConnectFailed);
    }
    Adopt(std::move(pipe));
    StartWorkerThreads();
}

} // namespace ZEPMaintenance
