// Linux side of WinProcess: posix_spawn, process file descriptors, exit codes and process owners.
#include "system/platform/WinProcessPrimitives.h"

#include "base/WinError.h"
#include "system/Text.h"
#include "system/posix/PosixSupport.h"
#include "system/posix/UserSid.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern "C" {
#include <sys/pidfd.h>
}

extern char** environ;

namespace ZEPMaintenance::platform {

namespace {

// pkexec's exit codes when the user declines or authorisation fails, and when it cannot run the program.
constexpr int kPkexecNotAuthorized = 126;
constexpr int kPkexecCannotRun = 127;
// The descriptor an elevated start hands pkexec; pkexec closes it when it runs the program.
constexpr int kHandshakeFd = 3;
// How long pkexec may take to exit once it has closed the handshake, when it closed it by exiting.
constexpr int kHandshakeSettleMs = 200;

// A small file of /proc, read without leaving a descriptor to programs started meanwhile.
bool ReadProcFile(const std::string& path, std::string& text) {
    const posix::UniqueFd fd = posix::MakeDescriptor(open, path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd.Get() < 0) {
        return false;
    }
    text.clear();
    char buffer[4096];
    for (;;) {
        const ssize_t got = posix::RetryAfterSignal(-1, read, fd.Get(), buffer, sizeof buffer);
        if (got < 0) {
            return false;
        }
        if (got == 0) {
            return true;
        }
        text.append(buffer, static_cast<std::size_t>(got));
    }
}

// Fields of /proc/<pid>/stat after the command name: state is field 3, start time 22, exit code 52.
struct ProcStat {
    char state = 0;
    unsigned long long startTime = 0;
    int exitCode = 0;
    bool hasExitCode = false;
};

bool ReadProcStat(pid_t pid, ProcStat& stat) {
    std::string text;
    if (!ReadProcFile("/proc/" + std::to_string(pid) + "/stat", text)) {
        return false;
    }
    // The command name may hold spaces and parentheses; the fields start after the last ')'.
    const std::size_t close = text.rfind(')');
    if (close == std::string::npos) {
        return false;
    }
    std::istringstream fields(text.substr(close + 1));
    std::vector<std::string> values;
    std::string value;
    while (fields >> value) {
        values.push_back(value);
    }
    // values[0] is field 3.
    if (values.size() < 20) {
        return false;
    }
    stat.state = values[0].empty() ? '\0' : values[0][0];
    stat.startTime = std::strtoull(values[19].c_str(), nullptr, 10);
    if (values.size() >= 50) {
        stat.exitCode = std::atoi(values[49].c_str());
        stat.hasExitCode = true;
    }
    return true;
}

bool ReadRealUid(pid_t pid, uid_t& uid) {
    std::string text;
    if (!ReadProcFile("/proc/" + std::to_string(pid) + "/status", text)) {
        return false;
    }
    std::istringstream file(text);
    std::string line;
    while (std::getline(file, line)) {
        if (line.rfind("Uid:", 0) == 0) {
            uid = static_cast<uid_t>(std::strtoul(line.c_str() + 4, nullptr, 10));
            return true;
        }
    }
    return false;
}

// The exit status as the Windows exit code: the status byte, or 128 + the signal that ended it.
uint32_t ExitCodeFromStatus(int code, int status) {
    return code == CLD_EXITED ? static_cast<uint32_t>(status) : 128u + static_cast<uint32_t>(status);
}

bool IsExecutableFile(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && access(path.c_str(), X_OK) == 0;
}

// The program as the shell finds it: a path as given, or a bare name on PATH.
[[nodiscard]] uint32_t LocateProgram(const std::string& file, std::string& program) {
    if (file.empty()) {
        return WinError::kFileNotFound;
    }
    if (file.find('/') != std::string::npos) {
        struct stat info {};
        if (stat(file.c_str(), &info) != 0) {
            return posix::WinErrorFromErrno(errno);
        }
        if (!IsExecutableFile(file)) {
            // A document: the stand-in has no registry of default handlers.
            return WinError::kNoAssociation;
        }
        if (file[0] != '/') {
            char cwd[PATH_MAX];
            if (getcwd(cwd, sizeof cwd) == nullptr) {
                return posix::WinErrorFromErrno(errno);
            }
            program = std::string(cwd) + "/" + file;
        } else {
            program = file;
        }
        return WinError::kSuccess;
    }
    const char* path = std::getenv("PATH");
    std::istringstream entries(path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin");
    std::string entry;
    while (std::getline(entries, entry, ':')) {
        const std::string candidate = (entry.empty() ? std::string(".") : entry) + "/" + file;
        if (IsExecutableFile(candidate)) {
            program = candidate;
            return WinError::kSuccess;
        }
    }
    return WinError::kFileNotFound;
}

[[nodiscard]] uint32_t WinErrorOfSpawn(int error) {
    return error == ENOEXEC ? WinError::kBadExeFormat : posix::WinErrorFromErrno(error);
}

} // namespace

struct ProcessState {
    ProcessState() = default;
    ~ProcessState();
    ProcessState(const ProcessState&) = delete;
    ProcessState& operator=(const ProcessState&) = delete;

    pid_t pid = 0;
    posix::UniqueFd pidfd;
    bool current = false;
    bool child = false;  // started by us, so we reap it and read its exit status
    bool reaped = false; // the child's status was collected
    uint32_t exitCode = kStillActive;
    unsigned long long startTime = 0;
    uid_t owner = 0;
    bool ownerKnown = false;

    bool Ended() const {
        if (reaped) {
            return true;
        }
        pollfd entry{pidfd.Get(), POLLIN, 0};
        return pidfd && poll(&entry, 1, 0) == 1;
    }

    // Collects our child's status once it has ended.
    void Reap() {
        if (!child || reaped || !pidfd) {
            return;
        }
        siginfo_t info{};
        if (waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(pidfd.Get()), &info,
                   WEXITED | WNOHANG) == 0 &&
            info.si_pid != 0) {
            exitCode = ExitCodeFromStatus(info.si_code, info.si_status);
            reaped = true;
        }
    }
};

struct TokenState {
    uid_t uid = 0;
};

ProcessState::~ProcessState() {
    Reap();
    if (child && !reaped && pidfd) {
        // A child let go while it runs is collected when it ends, so that it leaves no zombie. The
        // thread takes the descriptor over.
        try {
            std::thread([held = std::move(pidfd)] {
                siginfo_t info{};
                posix::RetryAfterSignal(-1, waitid, static_cast<idtype_t>(P_PIDFD),
                                        static_cast<id_t>(held.Get()), &info, WEXITED);
            }).detach();
        } catch (const std::system_error&) {
            // No thread to spare: the child stays a zombie until this process ends.
        }
    }
}

void Destroy(ProcessState* state) noexcept {
    delete state;
}

void Destroy(TokenState* state) noexcept {
    delete state;
}

namespace {

// Waits while pkexec asks for authorisation: success once it runs the program, ERROR_CANCELLED when
// it exits declined or unable to run it. Both close the handshake; pkexec's exit tells them apart.
[[nodiscard]] uint32_t AwaitElevation(int handshake, ProcessState& state) {
    for (;;) {
        pollfd entry{handshake, POLLIN, 0};
        if (posix::RetryAfterSignal(-1, poll, &entry, 1, -1) < 0) {
            return posix::LastWinError();
        }
        char byte = 0;
        const ssize_t got = posix::RetryAfterSignal(-1, read, handshake, &byte, 1);
        if (got == 0 || (got < 0 && errno != EAGAIN)) {
            break;
        }
    }
    pollfd ended{state.pidfd.Get(), POLLIN, 0};
    posix::RetryAfterSignal(-1, poll, &ended, 1, kHandshakeSettleMs);
    siginfo_t info{};
    if (waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(state.pidfd.Get()), &info,
               WEXITED | WNOHANG | WNOWAIT) == 0 &&
        info.si_pid != 0 && info.si_code == CLD_EXITED &&
        (info.si_status == kPkexecNotAuthorized || info.si_status == kPkexecCannotRun)) {
        state.Reap();
        return WinError::kCancelled;
    }
    return WinError::kSuccess;
}

} // namespace

namespace {

// The argument vector of a start: pkexec first when it elevates, the program, its parameters split as
// a Windows program splits its command line.
std::vector<std::string> ArgumentVector(const std::string& pkexec, const std::string& program,
                                        const std::string& parameters) {
    std::vector<std::string> argv;
    if (!pkexec.empty()) {
        // The program itself, so that the prompt and the authorisation rules name it. pkexec gives it
        // root's clean environment and its own working folder; neither is passed on.
        argv.push_back(pkexec);
    }
    argv.push_back(program);
    for (const std::wstring& argument : SplitProgramParameters(Utf8ToWide(parameters))) {
        argv.push_back(WideToMultiByte(argument, kUtf8CodePage));
    }
    return argv;
}

// posix_spawn with nothing of this process but its environment: input from /dev/null, no descriptor
// above 2 (the handshake's write end excepted), no blocked or ignored signal. A posix_spawn error number.
int Spawn(std::vector<std::string>& argv, const std::string& directory, const posix::UniqueFd* handshake,
          pid_t& pid) {
    std::vector<char*> pointers;
    for (std::string& argument : argv) {
        pointers.push_back(argument.data());
    }
    pointers.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (handshake != nullptr) {
        posix_spawn_file_actions_adddup2(&actions, handshake->Get(), kHandshakeFd);
    }
    posix_spawn_file_actions_addclosefrom_np(&actions,
                                             handshake != nullptr ? kHandshakeFd + 1 : STDERR_FILENO + 1);
    if (!directory.empty() && handshake == nullptr) {
        posix_spawn_file_actions_addchdir_np(&actions, directory.c_str());
    }
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigset_t all;
    sigemptyset(&none);
    sigfillset(&all);
    sigdelset(&all, SIGKILL);
    sigdelset(&all, SIGSTOP);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    const int spawned = posix_spawn(&pid, pointers[0], &actions, &attributes, pointers.data(), environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    return spawned;
}

// The handshake of an elevated start: pkexec keeps the write end until it runs the program, which it
// starts with every descriptor above 2 closed.
uint32_t MakeHandshake(posix::UniqueFd& readEnd, posix::UniqueFd& writeEnd) {
    if (!posix::MakePipe(0, readEnd, writeEnd)) {
        return posix::LastWinError();
    }
    if (writeEnd.Get() == kHandshakeFd) {
        // dup2 onto itself would keep close-on-exec.
        writeEnd = posix::MakeDescriptor(fcntl, kHandshakeFd, F_DUPFD_CLOEXEC, kHandshakeFd + 1);
        if (!writeEnd) {
            return posix::LastWinError();
        }
    }
    return WinError::kSuccess;
}

} // namespace

uint32_t ShellStart(const std::string& file, const std::string& parameters, const std::string& directory,
                    bool runAsAdmin, ProcessHandle& process) {
    std::string program;
    uint32_t result = LocateProgram(file, program);
    if (result != WinError::kSuccess) {
        return result;
    }
    struct stat info {};
    if (!directory.empty() && (stat(directory.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))) {
        return WinError::kDirectory;
    }
    const bool elevate = runAsAdmin && geteuid() != 0;
    std::string pkexec;
    if (elevate && LocateProgram("pkexec", pkexec) != WinError::kSuccess) {
        // No way to ask for elevation: the same outcome as a declined prompt.
        return WinError::kCancelled;
    }
    std::vector<std::string> argv = ArgumentVector(pkexec, program, parameters);
    posix::UniqueFd handshakeRead;
    posix::UniqueFd handshakeWrite;
    if (elevate && (result = MakeHandshake(handshakeRead, handshakeWrite)) != WinError::kSuccess) {
        return result;
    }
    pid_t pid = 0;
    const int spawned = Spawn(argv, directory, elevate ? &handshakeWrite : nullptr, pid);
    handshakeWrite.Reset(-1);
    if (spawned != 0) {
        return WinErrorOfSpawn(spawned);
    }
    auto state = std::make_unique<ProcessState>();
    state->pid = pid;
    state->child = true;
    state->owner = elevate ? 0 : getuid();
    state->ownerKnown = true;
    // Our unreaped child cannot vanish before its descriptor is taken.
    state->pidfd = posix::MakeDescriptor(pidfd_open, pid, 0u);
    if (!state->pidfd) {
        // A child we cannot follow is not left running.
        result = posix::LastWinError();
        kill(pid, SIGKILL);
        posix::RetryAfterSignal(-1, waitpid, pid, nullptr, 0);
        return result;
    }
    if (elevate && (result = AwaitElevation(handshakeRead.Get(), *state)) != WinError::kSuccess) {
        return result;
    }
    process.Reset(state.release());
    return WinError::kSuccess;
}

uint32_t OpenProcessById(uint32_t pid, ProcessHandle& process) {
    if (pid == 0 || pid > static_cast<uint32_t>(INT_MAX)) {
        return WinError::kInvalidParameter;
    }
    posix::UniqueFd pidfd = posix::MakeDescriptor(pidfd_open, static_cast<pid_t>(pid), 0u);
    if (!pidfd) {
        // No process with that id reads as the invalid parameter it is on Windows.
        return errno == ESRCH || errno == EINVAL ? WinError::kInvalidParameter
                                                 : posix::WinErrorFromErrno(errno);
    }
    auto state = std::make_unique<ProcessState>();
    state->pid = static_cast<pid_t>(pid);
    state->pidfd = std::move(pidfd);
    ProcStat stat;
    if (ReadProcStat(state->pid, stat)) {
        state->startTime = stat.startTime;
    }
    state->ownerKnown = ReadRealUid(state->pid, state->owner);
    process.Reset(state.release());
    return WinError::kSuccess;
}

ProcessHandle CurrentProcessHandle() {
    auto state = std::make_unique<ProcessState>();
    state->pid = getpid();
    state->current = true;
    state->owner = getuid();
    state->ownerKnown = true;
    return ProcessHandle(state.release());
}

bool WaitForProcess(const ProcessHandle& process, uint32_t milliseconds) {
    if (process->reaped) {
        return false;
    }
    if (process->current) {
        // A process never outlives its own wait.
        if (milliseconds == 0xFFFFFFFF) {
            for (;;) {
                pause();
            }
        }
        timespec pauseFor{static_cast<time_t>(milliseconds / 1000),
                          static_cast<long>(milliseconds % 1000) * 1000000};
        posix::RetryAfterSignal(-1, nanosleep, &pauseFor, &pauseFor);
        return true;
    }
    const auto now = [] {
        timespec time{};
        clock_gettime(CLOCK_MONOTONIC, &time);
        return time.tv_sec * 1000LL + time.tv_nsec / 1000000LL;
    };
    const bool unlimited = milliseconds == 0xFFFFFFFF;
    const long long deadline = now() + milliseconds;
    // Each poll, also one after a signal, waits what is left until the deadline, at most what poll takes.
    long long remaining = 0;
    const auto pollUntilDeadline = [&] {
        remaining = unlimited ? -1 : std::max(deadline - now(), 0LL);
        pollfd entry{process->pidfd.Get(), POLLIN, 0};
        return poll(&entry, 1, static_cast<int>(std::min<long long>(remaining, INT_MAX)));
    };
    for (;;) {
        const int ready = posix::RetryAfterSignal(-1, pollUntilDeadline);
        if (ready != 0) {
            // Ended; a failed wait reads as an ended one, as WAIT_FAILED does for the caller.
            return false;
        }
        if (!unlimited && remaining <= INT_MAX) {
            return true;
        }
    }
}

uint32_t ReadExitCode(const ProcessHandle& process, uint32_t& exitCode) {
    if (process->current) {
        exitCode = kStillActive;
        return WinError::kSuccess;
    }
    if (!process->reaped && !process->Ended()) {
        exitCode = kStillActive;
        return WinError::kSuccess;
    }
    // Collected only once it is seen to have ended, so an exit between the two steps is not missed.
    process->Reap();
    if (process->reaped) {
        exitCode = process->exitCode;
        return WinError::kSuccess;
    }
    // Someone else's process: its status is readable only while it waits for its parent, and only
    // by its own user or root (others are shown 0).
    if (geteuid() != 0 && (!process->ownerKnown || process->owner != geteuid())) {
        return WinError::kNotSupported;
    }
    ProcStat stat;
    if (ReadProcStat(process->pid, stat) && stat.startTime == process->startTime && stat.state == 'Z' &&
        stat.hasExitCode) {
        exitCode = WIFSIGNALED(stat.exitCode) ? 128u + static_cast<uint32_t>(WTERMSIG(stat.exitCode))
                                              : static_cast<uint32_t>(WEXITSTATUS(stat.exitCode));
        return WinError::kSuccess;
    }
    return WinError::kNotSupported;
}

uint32_t ProcessIdOf(const ProcessHandle& process) {
    return process ? static_cast<uint32_t>(process->pid) : 0;
}

uint32_t OpenTokenOf(const ProcessHandle& process, TokenHandle& token) {
    if (!process->ownerKnown) {
        return WinError::kAccessDenied;
    }
    token.Reset(new TokenState{process->owner});
    return WinError::kSuccess;
}

uint32_t ReadTokenUser(const TokenHandle& token, std::vector<uint8_t>& sid) {
    sid = posix::SidOfUser(token->uid, posix::OwnerOf::Process).GetBytes();
    return WinError::kSuccess;
}

} // namespace ZEPMaintenance::platform
