// The platform primitives under Pipe, PipeServer and PipeClient, implemented by win/PipeWin.cpp and
// posix/PipePosix.cpp (private: not for callers of the pipe classes).
#pragma once

#include "ipc/Pipe.h"
#include "system/CSid.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace ZEPMaintenance::platform {

// The process at the other end of a connected pipe, as the system saw it when the connection was made.
struct PeerIdentity {
    uint32_t processId = 0;
    CSid user;
    // LocalSystem, a token with Builtin Administrators enabled, or root.
    bool administrator = false;
};

// Numbers the pipe calls report beyond those of system/WinError.h.
inline constexpr uint32_t kPipeWaitTimedOut = 121;  // ERROR_SEM_TIMEOUT
inline constexpr uint32_t kPipeWaitCancelled = 995; // ERROR_OPERATION_ABORTED

// Each returns a Windows error number, 0 on success.
// CreateNamedPipeW: inbound for ReadMode, outbound for WriteMode; message type and read mode, one
// instance, 4096-byte buffers, default time-out 5000 ms, default security. Only a new pipe is made:
// an object already under the name gives ERROR_ACCESS_DENIED.
// Makes the folder that pipes are created in where the platform does not have one (root only on Linux,
// whose run folder is emptied at boot); nothing on Windows.
[[nodiscard]] uint32_t PreparePipeFolder();
[[nodiscard]] uint32_t CreatePipe(const std::wstring& name, uint32_t mode, PipeHandle& pipe);
// ConnectNamedPipe: returns once a client has opened the pipe (also one that did so before the call,
// and one that has closed it again since), after milliseconds (kWaitForever: never) with
// kPipeWaitTimedOut, or once ShutdownPipe ran with kPipeWaitCancelled.
[[nodiscard]] uint32_t WaitForClient(const PipeHandle& pipe, uint32_t milliseconds);
// The server's client is the one: later clients are refused as by a taken instance.
void KeepClient(const PipeHandle& pipe) noexcept;
// DisconnectNamedPipe: the server lets its client go unread, discarding what it wrote; WaitForClient
// then waits for another.
[[nodiscard]] uint32_t DropClient(const PipeHandle& pipe);
// Who is at the other end. A client learns the server's process (GetNamedPipeServerProcessId and that
// process's token; Linux: SO_PEERCRED, the process that called listen), a server its client's
// (GetNamedPipeClientProcessId, the identification token the client granted and, where it may be
// opened, that process's token; Linux: SO_PEERCRED, the process that called connect).
[[nodiscard]] uint32_t IdentifyPeer(const PipeHandle& pipe, PeerIdentity& peer);
// CreateFileW with the mode as the desired access (FILE_READ_DATA 1, FILE_WRITE_DATA 2), no sharing,
// open-existing. ERROR_FILE_NOT_FOUND while no server has made the pipe, ERROR_PIPE_BUSY while its
// one instance is taken.
[[nodiscard]] uint32_t OpenPipe(const std::wstring& name, uint32_t mode, PipeHandle& pipe);
// WaitNamedPipeW: success once the pipe may be free again, kPipeWaitTimedOut after milliseconds.
[[nodiscard]] uint32_t WaitForPipe(const std::wstring& name, uint32_t milliseconds);
// ReadFile of one message into buffer. A message longer than size gives ERROR_MORE_DATA, the peer's
// disconnect ERROR_BROKEN_PIPE, ShutdownPipe kPipeWaitCancelled. got 0 with success is an empty
// message, which Linux cannot tell from the end of the stream: there it is ERROR_BROKEN_PIPE.
[[nodiscard]] uint32_t ReadPipe(const PipeHandle& pipe, uint8_t* buffer, std::size_t size, std::size_t& got);
// WriteFile of one message of at least one byte, whole or not at all. A reader that has closed its end
// gives ERROR_NO_DATA; one that takes nothing for milliseconds kPipeWaitTimedOut.
[[nodiscard]] uint32_t WritePipe(const PipeHandle& pipe, const uint8_t* bytes, std::size_t size,
                                 uint32_t milliseconds);
// Ends the connection from any thread: every call waiting on the pipe returns, later ones fail with
// kPipeWaitCancelled, and a server's name is gone. The handle stays valid until it is released, when
// the peer sees the end at the latest.
void ShutdownPipe(const PipeHandle& pipe) noexcept;

} // namespace ZEPMaintenance::platform
