// PipeServer: creating the pipe and waiting for the client, with their log lines and codes.
#include "ipc/PipeServer.h"

#include "base/WinError.h"
#include "diag/IMException.h"
#include "ipc/PipePrimitives.h"

namespace ZEPMaintenance {

PipeServer::PipeServer() = default;

PipeServer::~PipeServer() {
    logger.DebugText(L"~PipeServer");
}

void PipeServer::Create(const std::wstring& name, uint32_t mode) {
    logger.Debug(L"Create: [name: %ls, mode: %u].", name, mode);
    if (name.empty()) {
        logger.Error(L"Create: Pipe name is empty.");
        ThrowIMException(ErrorCode::kInvalidValue);
    }
    Reset(name, mode);
    platform::PipeHandle pipe;
    const uint32_t error = platform::CreatePipe(name, mode, pipe);
    if (error != WinError::kSuccess) {
        logger.Error(L"Create: CreateNamedPipe failed. (lastError: %d)", error);
        ThrowIMException(ErrorCode::kPipeCreateFailed);
    }
    Adopt(std::move(pipe));
}

void PipeServer::Bind(uint32_t milliseconds) {
    logger.DebugText(L"Bind");
    const auto connection = Connection();
    uint32_t error = WinError::kInvalidHandle;
    if (connection) {
        error = platform::WaitForClient(*connection, milliseconds);
    } else if (IsClosed()) {
        error = platform::kPipeWaitCancelled;
    }
    if (error != WinError::kSuccess) {
        logger.Error(L"Create: ConnectNamedPipe failed. (lastError: %d)", error);
        ThrowIMException(ErrorCode::kPipeThreadFailed);
    }
    StartWorkerThreads();
}

} // namespace ZEPMaintenance
