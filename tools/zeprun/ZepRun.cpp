// zeprun: what Windows does at logon with the machine's Run and RunOnce values, for the Linux program.
//   zeprun [--dry-run] [--once-only]
// Each RunOnce value is deleted before its command starts and the command is waited for, one after
// another; then the Run commands start, not waited for. Exit code 0 when everything ran (and every
// RunOnce command exited 0), 1 when an entry failed, 2 on bad options, 3 when RunOnce entries are
// pending and the caller may not delete them (nothing is run then).
#include "base/WinError.h"
#include "base/posix/Descriptor.h"
#include "diag/IMException.h"
#include "system/Text.h"
#include "system/WinProcess.h"
#include "system/WinRegistryKey.h"
#include "system/platform/WinRegistryKeyPrimitives.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

using ZEPMaintenance::IMException;
using ZEPMaintenance::RegistryValueInfo;
using ZEPMaintenance::WinProcess;
using ZEPMaintenance::WinRegistryKey;
namespace platform = ZEPMaintenance::platform;

constexpr const wchar_t* kRunKey = L"software\\microsoft\\windows\\currentversion\\run";
constexpr const wchar_t* kRunOnceKey = L"software\\microsoft\\windows\\currentversion\\runonce";

constexpr int kFailed = 1;
constexpr int kBadOptions = 2;
constexpr int kNotAdministrator = 3;

struct Options {
    bool dryRun = false;
    bool onceOnly = false;
    bool help = false;
};

std::string Narrow(const std::wstring& text) {
    return ZEPMaintenance::WideToMultiByte(text, ZEPMaintenance::kUtf8CodePage);
}

void Print(const std::wstring& text) {
    std::fputs(Narrow(text + L"\n").c_str(), stdout);
    // Flushed before any program starts, so that its output comes after ours.
    std::fflush(stdout);
}

void Report(const std::wstring& text) {
    std::fputs(Narrow(L"zeprun: " + text + L"\n").c_str(), stderr);
}

constexpr const char* kUsage =
    "Usage: zeprun [--dry-run] [--once-only] [--help]\n"
    "Runs the machine's logon commands from the settings store below\n"
    "ZEP_MACHINE_ROOT (default /), as Windows runs HKLM Run and RunOnce:\n"
    "  each RunOnce value is deleted, then its command runs and is waited for;\n"
    "  then every Run command starts, not waited for.\n"
    "  --dry-run    print what would run; change nothing\n"
    "  --once-only  the RunOnce commands only\n"
    "  --help       this text\n"
    "Exit code: 0 all ran, 1 an entry failed, 2 bad options, 3 RunOnce entries\n"
    "wait for root (deleting them needs write access to the store); nothing ran.\n";

bool ParseOptions(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--dry-run") {
            options.dryRun = true;
        } else if (option == "--once-only") {
            options.onceOnly = true;
        } else if (option == "--help" || option == "-h") {
            options.help = true;
        } else {
            Report(L"unknown option " + ZEPMaintenance::Utf8ToWide(option));
            return false;
        }
    }
    return true;
}

std::wstring Label(const wchar_t* kind, const std::wstring& name) {
    return std::wstring(kind) + L" \"" + name + L"\"";
}

std::wstring TypeName(uint32_t type) {
    switch (type) {
    case platform::kRegNone:
        return L"REG_NONE";
    case platform::kRegSz:
        return L"REG_SZ";
    case platform::kRegExpandSz:
        return L"REG_EXPAND_SZ";
    case platform::kRegBinary:
        return L"REG_BINARY";
    case platform::kRegDword:
        return L"REG_DWORD";
    case platform::kRegMultiSz:
        return L"REG_MULTI_SZ";
    case platform::kRegQword:
        return L"REG_QWORD";
    default:
        return L"type " + std::to_wstring(type);
    }
}

// An argument as a shell would take it back, for the lines of a dry run.
std::wstring Quoted(const std::wstring& argument) {
    const bool plain =
        !argument.empty() && argument.find_first_not_of(L"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstu"
                                                        L"vwxyz0123456789_-+=/.,:@%") == std::wstring::npos;
    if (plain) {
        return argument;
    }
    std::wstring quoted = L"'";
    for (const wchar_t c : argument) {
        quoted += c == L'\'' ? std::wstring(L"'\\''") : std::wstring(1, c);
    }
    return quoted + L"'";
}

// Why the platform would not start a program, for the report.
std::wstring WhyNotStarted(const std::wstring& program) {
    const std::string path = Narrow(program);
    if (path.find('/') == std::string::npos) {
        return L"not found on PATH";
    }
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) {
        return ZEPMaintenance::Utf8ToWide(std::strerror(errno));
    }
    if (!S_ISREG(info.st_mode) || access(path.c_str(), X_OK) != 0) {
        return L"not an executable file";
    }
    return L"it could not be started";
}

class LogonRun {
public:
    explicit LogonRun(const Options& options) : options_(options) {}

    int Run() {
        std::vector<RegistryValueInfo> once;
        if (!ReadValues(kRunOnceKey, once)) {
            return kFailed;
        }
        if (options_.dryRun) {
            Preview(L"RunOnce", kRunOnceKey, once);
            if (!options_.onceOnly) {
                std::vector<RegistryValueInfo> run;
                if (!ReadValues(kRunKey, run)) {
                    return kFailed;
                }
                Preview(L"Run", kRunKey, run);
            }
            return failed_ ? kFailed : 0;
        }
        if (!once.empty()) {
            WinRegistryKey key;
            if (!OpenForDeleting(key, once.size())) {
                return failed_ ? kFailed : kNotAdministrator;
            }
            for (const RegistryValueInfo& value : once) {
                RunOnce(key, value);
            }
        }
        if (!options_.onceOnly) {
            // Read only now: a RunOnce command may have changed them.
            std::vector<RegistryValueInfo> run;
            if (!ReadValues(kRunKey, run)) {
                return kFailed;
            }
            StartRun(run);
        }
        return failed_ ? kFailed : 0;
    }

private:
    // The key's values; none when it does not exist.
    bool ReadValues(const wchar_t* subKey, std::vector<RegistryValueInfo>& values) {
        try {
            WinRegistryKey key;
            if (key.KeyExists(WinRegistryKey::LocalMachine, subKey)) {
                key.Open(WinRegistryKey::LocalMachine, subKey, false);
                values = key.GetValues();
            }
            return true;
        } catch (const IMException& e) {
            Report(L"cannot read HKLM\\" + std::wstring(subKey) + L" in the settings store (code " +
                   std::to_wstring(e.GetErrorNumber()) + L")");
            failed_ = true;
            return false;
        }
    }

    // On Windows the machine's RunOnce runs with an administrator's rights, which deleting its values
    // needs. Here that is root: anyone else runs nothing at all, as the Run commands may need what the
    // RunOnce ones would have done first (a rollback that restores the product, say).
    bool OpenForDeleting(WinRegistryKey& key, std::size_t pending) {
        try {
            key.Open(WinRegistryKey::LocalMachine, kRunOnceKey, true);
            return true;
        } catch (const IMException& e) {
            // The store lets root alone write.
            if (geteuid() != 0) {
                Report(L"RunOnce entries pending: " + std::to_wstring(pending) +
                       L". Deleting them needs write access to the settings store (root); nothing was run.");
            } else {
                Report(L"cannot open HKLM\\" + std::wstring(kRunOnceKey) + L" for writing (code " +
                       std::to_wstring(e.GetErrorNumber()) + L")");
                failed_ = true;
            }
            return false;
        }
    }

    // The value is gone before its command starts: a command that crashes the machine is not run again
    // at the next logon. A value that cannot be run is deleted as well, so it is reported once.
    void RunOnce(WinRegistryKey& key, const RegistryValueInfo& value) {
        const std::wstring label = Label(L"RunOnce", value.name);
        std::wstring command;
        try {
            // A command before it may have removed it, or another logon's run taken it.
            if (!key.ValueExists(value.name)) {
                return;
            }
            if (value.type == platform::kRegSz) {
                command = key.GetStringValue(value.name);
            }
            key.DeleteValue(value.name);
        } catch (const IMException& e) {
            if (!key.ValueExists(value.name)) {
                return;
            }
            Report(label + L": cannot be read and deleted (code " + std::to_wstring(e.GetErrorNumber()) +
                   L"); not run");
            failed_ = true;
            return;
        }
        if (value.type != platform::kRegSz) {
            Report(label + L": the value is " + TypeName(value.type) + L", not REG_SZ; deleted, not run");
            failed_ = true;
            return;
        }
        Start(label, command, true);
    }

    void StartRun(const std::vector<RegistryValueInfo>& values) {
        WinRegistryKey key;
        try {
            key.Open(WinRegistryKey::LocalMachine, kRunKey, false);
        } catch (const IMException&) {
            return;
        }
        for (const RegistryValueInfo& value : values) {
            const std::wstring label = Label(L"Run", value.name);
            if (value.type != platform::kRegSz) {
                Report(label + L": the value is " + TypeName(value.type) + L", not REG_SZ; not run");
                failed_ = true;
                continue;
            }
            std::wstring command;
            try {
                command = key.GetStringValue(value.name);
            } catch (const IMException& e) {
                if (key.ValueExists(value.name)) {
                    Report(label + L": cannot be read (code " + std::to_wstring(e.GetErrorNumber()) + L")");
                    failed_ = true;
                }
                continue;
            }
            Start(label, command, false);
        }
    }

    void Start(const std::wstring& label, const std::wstring& command, bool wait) {
        const ZEPMaintenance::ProgramCommand split = ZEPMaintenance::SplitProgramCommand(command);
        if (split.program.empty()) {
            Report(label + L": the command is empty");
            failed_ = true;
            return;
        }
        WinProcess process;
        try {
            process.Start(split.program, split.parameters, L"", false);
        } catch (const IMException&) {
            Report(label + L": cannot start " + split.program + L": " + WhyNotStarted(split.program));
            failed_ = true;
            return;
        }
        if (!wait) {
            Print(label + L": started " + split.program + L" (process " +
                  std::to_wstring(process.GetProcessId()) + L")");
            return;
        }
        process.WaitToClose(-1);
        const uint32_t exitCode = process.GetExitCode();
        Print(label + L": " + split.program + L" exited with " + std::to_wstring(exitCode));
        if (exitCode != 0) {
            failed_ = true;
        }
    }

    void Preview(const wchar_t* kind, const wchar_t* subKey, const std::vector<RegistryValueInfo>& values) {
        WinRegistryKey key;
        if (!values.empty()) {
            key.Open(WinRegistryKey::LocalMachine, subKey, false);
        }
        for (const RegistryValueInfo& value : values) {
            const std::wstring label = Label(kind, value.name);
            if (value.type != platform::kRegSz) {
                Report(label + L": the value is " + TypeName(value.type) + L", not REG_SZ");
                failed_ = true;
                continue;
            }
            const ZEPMaintenance::ProgramCommand split =
                ZEPMaintenance::SplitProgramCommand(key.GetStringValue(value.name));
            if (split.program.empty()) {
                Report(label + L": the command is empty");
                failed_ = true;
                continue;
            }
            std::wstring line = label + L": would run " + Quoted(split.program);
            for (const std::wstring& argument : ZEPMaintenance::SplitProgramParameters(split.parameters)) {
                line += L" " + Quoted(argument);
            }
            Print(line);
        }
    }

    Options options_;
    bool failed_ = false;
};

} // namespace

int main(int argc, char** argv) {
    // Started by a session at logon, zeprun may find a standard descriptor closed; what it starts must not.
    ZEPMaintenance::posix::OpenStandardDescriptors();
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        std::fputs(kUsage, stderr);
        return kBadOptions;
    }
    if (options.help) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    try {
        return LogonRun(options).Run();
    } catch (const IMException& e) {
        Report(L"the settings store failed (code " + std::to_wstring(e.GetErrorNumber()) + L")");
        return kFailed;
    }
}
