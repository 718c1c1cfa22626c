// A test peer that plays the worker on a GUI pipe: it connects in WriteMode with the real PipeClient and
// sends a scripted list of messages with chosen pauses, to drive the progress dialog or a pipe test.
//
// Usage: zep_pipe_peer --pipe NAME [--usid SID] [--retry-pause MS] [--log] [--quiet] STEP...
//        zep_pipe_peer --serve NAME [--log] [--connect-limit MS]
//   --serve NAME       plays the loader instead: serves the pipe, waits for the worker (a minute, or
//                      --connect-limit) and writes each message it receives as a line "ID TEXT" (UTF-8)
//                      on standard output until the worker closes its end; exit 0, 1 when no worker came
//   NAME               the pipe's bare name (ZEPMaintenance_4711_318) or its full path (\\.\pipe\...);
//                      on Linux the pipe lies below ZEP_MACHINE_ROOT, as the program's own do
//   --usid SID         the user whose loader serves the pipe, as the worker's -usid; without it only a
//                      pipe an administrator serves is used
//   --retry-pause MS   the pause after an attempt that finds no pipe yet (default 1000; five attempts)
//   --log              the pipe's log lines go to standard error
//   --quiet            no report of the steps on standard output
// Steps, run in order once the pipe is open:
//   --send ID[:TEXT]   one message; TEXT may be empty or left out (on Windows in the ANSI code page)
//   --lang N           the language of the texts sent by --text from now on (Czech 0, the default,
//                      Slovak 1, English 2)
//   --text ID          a status message (id 0) with text ID of the dialog's text table, as the worker
//                      sends its progress
//   --pause MS         waits MS milliseconds
//   --pace MS          from now on waits MS milliseconds after each message (the worker waits 300)
//   --wait-for FILE    waits until FILE exists, a handshake with a test (gives up after a minute)
//   --close            closes the pipe: the reader sees the worker go; later messages are dropped
//   --script FILE      runs the steps in FILE, UTF-8, one a line without the dashes ("send 0:Text",
//                      "lang 1", "text 4", "pause 300", "pace 300", "wait-for FILE", "close"); blank lines
//                      and lines starting with # are skipped
// Each step is reported on standard output ("sent ID", or "dropped ID" once the pipe is closed). Exit status:
// 0 once every step ran, 1 when the pipe was not opened or a write failed (its code is printed), 2 for a
// usage error. Example:
//   zep_pipe_peer --pipe ZEPMaintenance_4711_318 --pace 300 --send "0:Copying new files"
//       --send "3:/opt/app/run after.sh" --send 1
#include "diag/IMException.h"
#include "diag/Log.h"
#include "diag/MessageTable.h"
#include "ipc/PipeClient.h"
#include "ipc/PipeServer.h"
#include "system/Text.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace ZEPMaintenance;

struct Step {
    std::string verb;
    std::wstring argument;
};

struct UsageError {
    std::string what;
};

uint32_t Milliseconds(const std::wstring& text) {
    try {
        std::size_t used = 0;
        const unsigned long value = std::stoul(text, &used);
        if (used == text.size() && value <= 0xFFFFFFFEul) {
            return static_cast<uint32_t>(value);
        }
    } catch (const std::logic_error&) {
    }
    throw UsageError{"not a number of milliseconds: " + WideToMultiByte(text, kUtf8CodePage)};
}

PipeMessage MessageOf(const std::wstring& text) {
    const std::size_t colon = text.find(L':');
    const std::wstring id = text.substr(0, colon);
    try {
        std::size_t used = 0;
        const long value = std::stol(id, &used);
        if (used == id.size() && value >= INT32_MIN && value <= INT32_MAX) {
            return PipeMessage{static_cast<int32_t>(value),
                               colon == std::wstring::npos ? L"" : text.substr(colon + 1)};
        }
    } catch (const std::logic_error&) {
    }
    throw UsageError{"not a message id: " + WideToMultiByte(id, kUtf8CodePage)};
}

int32_t NumberOf(const std::wstring& text) {
    try {
        std::size_t used = 0;
        const int value = std::stoi(text, &used);
        if (used == text.size()) {
            return value;
        }
    } catch (const std::logic_error&) {
    }
    throw UsageError{"not a number: " + WideToMultiByte(text, kUtf8CodePage)};
}

std::vector<Step> ReadScript(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        throw UsageError{"cannot read the script " + path};
    }
    std::vector<Step> steps;
    for (std::string line; std::getline(file, line);) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.empty() || line[0] == '#') {
            continue;
        }
        const std::size_t space = line.find(' ');
        steps.push_back(
            {line.substr(0, space), space == std::string::npos ? L"" : Utf8ToWide(line.substr(space + 1))});
    }
    return steps;
}

// The pipe's log lines on standard error, for --log.
void WriteLine(LogHandleRef handle, const char* level, const wchar_t* message) {
    const std::string line = std::string(level) + " " +
                             WideToMultiByte(*static_cast<std::wstring*>(handle), kUtf8CodePage) + " - " +
                             WideToMultiByte(message, kUtf8CodePage) + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
}

template <const char* Level> void Write(LogHandleRef handle, const wchar_t* message) {
    WriteLine(handle, Level, message);
}

constexpr char kError[] = "ERROR";
constexpr char kWarn[] = "WARN ";
constexpr char kInfo[] = "INFO ";
constexpr char kDebug[] = "DEBUG";

void LogToStandardError() {
    static LoggerFunctions functions;
    functions.create = [](const wchar_t* category, LogHandleRef* handle) {
        *handle = new std::wstring(category);
        return 1;
    };
    functions.destroy = [](LogHandleRef handle) { delete static_cast<std::wstring*>(handle); };
    functions.isErrorEnabled = functions.isWarnEnabled = functions.isInfoEnabled =
        functions.isDebugEnabled = [](LogHandleRef) { return true; };
    functions.error = Write<kError>;
    functions.warn = Write<kWarn>;
    functions.info = Write<kInfo>;
    functions.debug = Write<kDebug>;
    InitLogging(&functions);
}

// A bare name (ZEPMaintenance_4711_318) with the pipe prefix; a full path as it is.
std::wstring FullPipeName(const std::wstring& name) {
    const std::wstring prefix = L"\\\\.\\pipe\\";
    return name.compare(0, prefix.size(), prefix) == 0 ? name : prefix + name;
}

// The loader's end without a dialog: every message the worker sends, in order, as a line.
int Serve(std::wstring name, uint32_t connectLimit) {
    name = FullPipeName(name);
    PipeServer pipe;
    try {
        pipe.Create(name, ReadMode);
        pipe.Bind(connectLimit);
    } catch (const IMException& e) {
        std::cout << "failed " << e.GetErrorNumber() << std::endl;
        return 1;
    }
    for (;;) {
        PipeMessage message;
        if (pipe.Read(message)) {
            std::cout << message.id << ' ' << WideToMultiByte(message.msg, kUtf8CodePage) << std::endl;
        } else if (pipe.IsClosed()) {
            break;
        } else {
            SleepMilliseconds(10);
        }
    }
    pipe.WaitForThreads();
    return 0;
}

int Run(int argc, char** argv) {
    std::wstring name;
    ClientTiming timing;
    std::vector<Step> steps;
    bool quiet = false;
    std::wstring served;
    uint32_t connectLimit = 60 * 1000;
    std::optional<CSid> server;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        const auto value = [&] {
            if (i + 1 >= argc) {
                throw UsageError{option + " needs a value"};
            }
            return MultiByteToWide(argv[++i], kAnsiCodePage);
        };
        if (option == "--pipe") {
            name = value();
        } else if (option == "--serve") {
            served = value();
        } else if (option == "--connect-limit") {
            connectLimit = Milliseconds(value());
        } else if (option == "--usid") {
            const std::wstring text = value();
            try {
                server = SidFromString(text);
            } catch (const IMException&) {
                throw UsageError{"not a SID: " + WideToMultiByte(text, kUtf8CodePage)};
            }
        } else if (option == "--retry-pause") {
            timing.retryPauseMs = Milliseconds(value());
        } else if (option == "--log") {
            LogToStandardError();
        } else if (option == "--quiet") {
            quiet = true;
        } else if (option == "--script") {
            if (i + 1 >= argc) {
                throw UsageError{"--script needs a file"};
            }
            for (Step& step : ReadScript(argv[++i])) {
                steps.push_back(std::move(step));
            }
        } else if (option == "--close") {
            steps.push_back({"close", L""});
        } else if (option == "--send" || option == "--pause" || option == "--pace" ||
                   option == "--wait-for" || option == "--lang" || option == "--text") {
            const std::string verb = option.substr(2);
            steps.push_back({verb, value()});
        } else {
            throw UsageError{"unknown option " + option};
        }
    }
    if (!served.empty()) {
        if (!name.empty() || !steps.empty() || server) {
            throw UsageError{"--serve takes no --pipe, --usid or steps"};
        }
        return Serve(served, connectLimit);
    }
    if (name.empty()) {
        throw UsageError{"--pipe NAME or --serve NAME is required"};
    }
    name = FullPipeName(name);
    // Every step is checked before the pipe is opened.
    for (const Step& step : steps) {
        if (step.verb == "send") {
            MessageOf(step.argument);
        } else if (step.verb == "pause" || step.verb == "pace") {
            Milliseconds(step.argument);
        } else if (step.verb == "lang" || step.verb == "text") {
            NumberOf(step.argument);
        } else if (step.verb != "wait-for" && step.verb != "close") {
            throw UsageError{"unknown step " + step.verb};
        }
    }

    const auto report = [quiet](const std::string& text) {
        if (!quiet) {
            std::cout << text << std::endl;
        }
    };
    PipeClient pipe(timing);
    try {
        pipe.Connect(name, WriteMode, server);
        report("connected " + WideToMultiByte(name, kUtf8CodePage));
        uint32_t pace = 0;
        int32_t language = 0;
        for (const Step& step : steps) {
            if (step.verb == "send" || step.verb == "text") {
                const PipeMessage message =
                    step.verb == "send"
                        ? MessageOf(step.argument)
                        : PipeMessage{0, GuiTextTable().Lookup(NumberOf(step.argument), language)};
                const bool dropped = pipe.IsClosed();
                pipe.WriteSynch(message);
                report((dropped ? "dropped " : "sent ") + std::to_string(message.id));
                SleepMilliseconds(pace);
            } else if (step.verb == "pause") {
                SleepMilliseconds(Milliseconds(step.argument));
            } else if (step.verb == "pace") {
                pace = Milliseconds(step.argument);
            } else if (step.verb == "lang") {
                language = NumberOf(step.argument);
            } else if (step.verb == "wait-for") {
                const std::filesystem::path file(step.argument);
                std::error_code error;
                for (int waited = 0; waited < 6000 && !std::filesystem::exists(file, error); ++waited) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(10));
                }
                report("waited");
            } else {
                pipe.Close();
                report("closed");
            }
        }
    } catch (const IMException& e) {
        std::cout << "failed " << e.GetErrorNumber() << std::endl;
        return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    try {
        return Run(argc, argv);
    } catch (const UsageError& error) {
        std::cerr << "zep_pipe_peer: " << error.what << "\n";
        return 2;
    }
}
