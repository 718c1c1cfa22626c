// PipeServer: creating the pipe and waiting for the client, with their log lines and codes.
#include "ipc/PipeServer.h"

#include "base/WinError.h"
#include "diag/IMException.h"
#include "ipc/PipePrimitives.h"

#include <algorithm>
#include <chrono>

namespace ZEPMaintenance {

PipeServer::PipeServer() = default;

PipeServer::~PipeServer() {
    logger.DebugText(L"~PipeServer");
}

uint32_t PipeServer::Make(const std::wstring& name, uint32_t mode) {
    logger.Debug(L"Create: [name: %ls, mode: %u].", name, mode);
    if (name.empty()) {
        logger.Error(L"Create: Pipe name is empty.");
        ThrowIMException(ErrorCode::kInvalidValue);
    }
    Reset(name, mode);
    platform::PipeHandle pipe;
    const uint32_t error = platform::CreatePipe(name, mode, pipe);
    if (error == WinError::kSuccess) {
        Adopt(std::move(pipe));
    }
    return error;
}

void PipeServer::Create(const std::wstring& name, uint32_t mode) {
    if (const uint32_t error = Make(name, mode); error != WinError::kSuccess) {
        logger.Error(L"Create: CreateNamedPipe failed. (lastError: %d)", error);
        ThrowIMException(ErrorCode::kPipeCreateFailed);
    }
}

bool PipeServer::CreateNew(const std::wstring& name, uint32_t mode) {
    const uint32_t error = Make(name, mode);
    // FILE_FLAG_FIRST_PIPE_INSTANCE refuses an existing pipe with 5; a pipe whose instances are all taken
    // gives 231 first (Wine gives that for any existing one-instance pipe).
    if (error == WinError::kAccessDenied || error == WinError::kPipeBusy) {
        logger.Warn(L"Create: The pipe name is taken. (name: %ls, lastError: %d)", name, error);
        return false;
    }
    if (error != WinError::kSuccess) {
        logger.Error(L"Create: CreateNamedPipe failed. (lastError: %d)", error);
        ThrowIMException(ErrorCode::kPipeCreateFailed);
    }
    return true;
}

void PipeServer::Bind(uint32_t milliseconds) {
    logger.DebugText(L"Bind");
    const auto connection = Connection();
    uint32_t error = WinError::kInvalidHandle;
    if (connection) {
        error = AwaitAdministrator(*connection, milliseconds);
    } else if (IsClosed()) {
        error = platform::kPipeWaitCancelled;
    }
    if (error != WinError::kSuccess) {
        logger.Error(L"Create: ConnectNamedPipe failed. (lastError: %d)", error);
        ThrowIMException(ErrorCode::kPipeThreadFailed);
    }
    StartWorkerThreads();
}

uint32_t PipeServer::AwaitAdministrator(const platform::PipeHandle& pipe, uint32_t milliseconds) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
        uint32_t left = milliseconds;
        if (milliseconds != kWaitForever) {
            const auto rest = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
            left = static_cast<uint32_t>(std::clamp<long long>(rest, 0, kWaitForever - 1));
        }
        uint32_t error = platform::WaitForClient(pipe, left);
        if (error != WinError::kSuccess) {
            return error;
        }
        // Only the elevated worker may drive the loader, which starts the programs it names.
        platform::PeerIdentity peer;
        error = platform::IdentifyPeer(pipe, peer);
        if (error == WinError::kSuccess && peer.administrator) {
            platform::KeepClient(pipe);
            return WinError::kSuccess;
        }
        if (error != WinError::kSuccess) {
            logger.Warn(L"Bind: Client not identified, dropped. (name: %ls, lastError: %d)", GetName(),
                        error);
        } else {
            logger.Warn(
                L"Bind: Client is not an administrator, dropped. (name: %ls, client: %ls, clientPid: %u)",
                GetName(), peer.user.Sid(), peer.processId);
        }
        error = platform::DropClient(pipe);
        if (error != WinError::kSuccess) {
            return error;
        }
    }
}

} // namespace ZEPMaintenance
