// The dialog host for tests: shows the progress dialog as the loader does and applies a script of
// changes to it, as the worker's messages will, then waits for the dialog to end and reports how.
//
// zep_dialog_host [-lang N] [-log FILE] [-listen NAME] [-connect-limit MS] STEP... [-]
//   -lang N         the dialog's language (Czech 0, Slovak 1, English 2), set once it is on screen
//   -log FILE       writes the program's log lines to FILE
//   -listen NAME    after the steps, the loader's part: serves the GUI pipe NAME (the bare name) until the
//                   worker ends the conversation, then enables OK, as the loader does
//   -connect-limit MS  how long -listen waits for the worker to connect (the loader's minute otherwise)
//   status TEXT     the status line shows TEXT (empty clears it)
//   status-id N     the status line shows text N of the dialog's text table in the language
//   detail TEXT     the error detail line shows TEXT after its prefix
//   enable          OK can be pressed
//   close           the dialog ends with 5, as the worker's closing message asks
//   open PATH       the shell opens PATH unelevated
//   pause MS        waits MS milliseconds
//   wait-file PATH  waits until PATH exists
//   -               reads further steps from standard input, one a line: the step's word, a space, its
//                   argument
// After the script it waits for the dialog to end, prints "result: N" and exits with N (the low byte
// of it on Linux): 1002 for OK, 5 after close, -1 when the dialog could not be shown; 2 for a usage
// error. A pipe that failed is reported on standard error as "listen failed: CODE".
#include "support/host/DialogHost.h"

#include "app/Maintenance.h"
#include "diag/IMException.h"
#include "diag/Log.h"
#include "diag/MessageTable.h"
#include "system/Text.h"
#include "ui/Dialog.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <thread>

namespace ZEPMaintenance::test {

namespace {

constexpr int kUsageError = 2;

struct Step {
    std::wstring word;
    std::wstring argument;
};

bool TakesArgument(const std::wstring& word) {
    return word == L"status" || word == L"status-id" || word == L"detail" || word == L"open" ||
           word == L"pause" || word == L"wait-file";
}

bool TakesNumber(const std::wstring& word) {
    return word == L"status-id" || word == L"pause";
}

bool IsStep(const std::wstring& word) {
    return TakesArgument(word) || word == L"enable" || word == L"close";
}

bool IsNumber(const std::wstring& text) {
    return !text.empty() && text.size() < 10 && text.find_first_not_of(L"0123456789") == std::wstring::npos;
}

// A step of the script: a known word with its argument, a number where it takes one.
bool IsValid(const Step& step) {
    return IsStep(step.word) && (!TakesNumber(step.word) || IsNumber(step.argument));
}

void Apply(Dialog& dialog, int32_t language, const Step& step) {
    if (step.word == L"status") {
        dialog.SetStatus(step.argument);
    } else if (step.word == L"status-id") {
        dialog.SetStatus(GuiTextTable().Lookup(std::stoi(step.argument), language));
    } else if (step.word == L"detail") {
        dialog.SetErrorDetail(step.argument);
    } else if (step.word == L"enable") {
        dialog.EnableOk();
    } else if (step.word == L"close") {
        dialog.EndDialog(kDialogEndedByProgram);
    } else if (step.word == L"open") {
        dialog.OpenDocument(step.argument);
    } else if (step.word == L"pause") {
        std::this_thread::sleep_for(std::chrono::milliseconds(std::stoi(step.argument)));
    } else if (step.word == L"wait-file") {
        const std::filesystem::path file(step.argument);
        std::error_code error;
        while (!std::filesystem::exists(file, error)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
}

// The loader's part once its worker runs: the GUI pipe served until the worker is done, then OK enabled.
void Listen(Dialog& dialog, int32_t language, const std::wstring& name,
            std::optional<uint32_t> connectLimit) {
    Maintenance loader;
    loader.lang = language;
    loader.guiPipeName = L"\\\\.\\pipe\\" + name;
    if (connectLimit) {
        loader.guiPipeConnectLimitMs = *connectLimit;
    }
    try {
        loader.ListenOnGuiPipe(dialog);
    } catch (const IMException& e) {
        std::fprintf(stderr, "listen failed: %d\n", e.GetErrorNumber());
    }
    dialog.EnableOk();
}

int Usage(const std::string& problem) {
    std::fprintf(stderr, "zep_dialog_host: %s\n", problem.c_str());
    std::fprintf(stderr, "usage: zep_dialog_host [-lang N] [-log FILE] [-listen NAME] [-connect-limit MS] "
                         "[status TEXT | status-id N | detail TEXT | "
                         "enable | close | open PATH | pause MS | wait-file PATH]... [-]\n");
    return kUsageError;
}

} // namespace

int RunDialogHost(const std::vector<std::wstring>& arguments) {
    int32_t language = 0;
    std::wstring logFile;
    std::wstring pipeName;
    std::optional<uint32_t> connectLimit;
    std::vector<Step> steps;
    bool fromInput = false;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::wstring& word = arguments[i];
        const bool hasValue = i + 1 < arguments.size();
        if (word == L"-lang" && hasValue && IsNumber(arguments[i + 1])) {
            language = std::stoi(arguments[++i]);
        } else if (word == L"-log" && hasValue) {
            logFile = arguments[++i];
        } else if (word == L"-listen" && hasValue) {
            pipeName = arguments[++i];
        } else if (word == L"-connect-limit" && hasValue && IsNumber(arguments[i + 1])) {
            connectLimit = static_cast<uint32_t>(std::stoul(arguments[++i]));
        } else if (word == L"-" && i + 1 == arguments.size()) {
            fromInput = true;
        } else if (TakesArgument(word) && hasValue && IsValid({word, arguments[i + 1]})) {
            steps.push_back({word, arguments[++i]});
        } else if (IsStep(word) && !TakesArgument(word)) {
            steps.push_back({word, L""});
        } else {
            return Usage("unknown or incomplete step: " + WideToMultiByte(word, kUtf8CodePage));
        }
    }

    if (!logFile.empty()) {
        SetLogFile(WideToMultiByte(logFile, kAnsiCodePage));
        const LoggerFunctions functions = FileLoggerFunctions();
        InitLogging(&functions);
    }

    std::atomic<bool> ready{false};
    Dialog dialog(ready);
    try {
        dialog.InitDialogThread();
    } catch (const IMException& e) {
        std::fprintf(stderr, "zep_dialog_host: the dialog thread did not start (code %d)\n",
                     e.GetErrorNumber());
        return kDialogNotShown;
    }
    if (!dialog.WaitUntilReady()) {
        std::fprintf(stderr, "zep_dialog_host: the dialog could not be shown\n");
    } else {
        dialog.SetLanguage(language);
        for (const Step& step : steps) {
            Apply(dialog, language, step);
        }
        if (fromInput) {
            for (std::string line; std::getline(std::cin, line);) {
                if (!line.empty() && line.back() == '\r') {
                    line.pop_back();
                }
                const std::wstring text = Utf8ToWide(line);
                const std::size_t space = text.find(L' ');
                Step step{text.substr(0, space), space == std::wstring::npos ? L"" : text.substr(space + 1)};
                if (!IsValid(step)) {
                    std::fprintf(stderr, "zep_dialog_host: unknown step ignored: %s\n", line.c_str());
                    continue;
                }
                Apply(dialog, language, step);
            }
        }
        if (!pipeName.empty()) {
            Listen(dialog, language, pipeName, connectLimit);
        }
    }
    const int32_t result = dialog.WaitForEnd();
    std::printf("result: %d\n", result);
    std::fflush(stdout);
    return result;
}

} // namespace ZEPMaintenance::test
