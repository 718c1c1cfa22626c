// The entry's steps: log set-up, crypto provider, version record, mode selection and dispatch.
#include "app/ProgramMain.h"

#include "app/ArgumentMap.h"
#include "app/LogLocation.h"
#include "app/Maintenance.h"
#include "app/MaintenanceService.h"
#include "diag/IMException.h"
#include "diag/Log.h"

#include "base/Cleanup.h"
#include "base/Platform.h"
#include "diag/VersionLogger.h"
#include "system/File.h"
#include "system/Sha1Hash.h"
#include "system/Text.h"

#include <memory>
#include <optional>

namespace ZEPMaintenance {

namespace {

void SetUpLogging(const std::wstring& modeText) {
    const LoggerFunctions functions = FileLoggerFunctions();
    const File logFile = GetLogFilePath(modeText);
    SetLogFile(WideToMultiByte(logFile.GetFullPath(), kAnsiCodePage));
    InitLogging(&functions);
}

RunMode SelectMode(const ArgumentMap& arguments) {
    if (!HasArgument(arguments, L"-mode")) {
        return RunMode::Loader;
    }
    const std::wstring text = GetArgument(arguments, L"-mode");
    constexpr struct {
        const wchar_t* text;
        RunMode mode;
    } kModes[] = {{L"loader", RunMode::Loader},
                  {L"worker", RunMode::Worker},
                  {L"service", RunMode::Service},
                  {L"notifier", RunMode::Notifier}};
    for (const auto& [name, mode] : kModes) {
        if (text == name) {
            return mode;
        }
    }
    mainLogger().Error(L"Argument -mode value error (mode: %ls).", text);
    ThrowIMException(ErrorCode::kArgumentError);
}

// The grammar has no escape for a double quote: the run would see other options than it was given.
[[noreturn]] void RefuseUncarriedArgument(const UncarriedArgument& uncarried) {
    mainLogger().Error(L"wWinMain: Argument %d holds a double quote, which the command line cannot carry. "
                       L"(argument: %ls)",
                       uncarried.position, uncarried.text);
    platform::ReportOutsideLog("ZEPMaintenance: argument " + std::to_string(uncarried.position) +
                               " holds a double quote, which the command line cannot carry: " +
                               WideToMultiByte(uncarried.text, kAnsiCodePage));
    ThrowIMException(ErrorCode::kArgumentError);
}

// The dispatcher's result is not the run's: the service reports its own through its status.
int32_t ProcessServiceMode(Maintenance& controller) {
    const std::wstring serviceName = controller.GetServiceName();
    // The controller the service fills from its arguments, apart from the entry's own, for the whole run.
    Maintenance serviceController;
    MaintenanceService service(serviceController);
    static_cast<void>(RunServiceDispatcher(serviceName, service));
    return 0;
}

} // namespace

int32_t ProgramMain(const wchar_t* commandLineTail, const UncarriedArgument* uncarried) {
    int32_t returnCode = -1;
    // Each armed once its set-up has run. Released explicitly below so that they run after the exception
    // line and before the exit line; an exception the entry does not catch releases them on its way out.
    std::optional<Cleanup<void (*)()>> uninitializeCom;
    std::optional<Cleanup<void (*)()>> uninitializeCrypto;
    try {
        auto arguments = std::make_unique<ArgumentMap>();
        SplitCommandLine(commandLineTail, *arguments);
        SetUpLogging(HasArgument(*arguments, L"-mode") ? GetArgument(*arguments, L"-mode") : std::wstring());

        platform::ComInitialize();
        uninitializeCom.emplace(&platform::ComUninitialize);
        Sha1Hash::Initialize();
        uninitializeCrypto.emplace(&Sha1Hash::UnInitialize);
        mainLogger().Info(L"wWinMain started. (args: %ls)",
                          commandLineTail != nullptr ? commandLineTail : L"");
        if (uncarried != nullptr) {
            RefuseUncarriedArgument(*uncarried);
        }
        const Logger versionLogger(L"VersionLogger");
        LogVersion(versionLogger);

        const RunMode mode = SelectMode(*arguments);
        arguments->erase(L"-mode");

        Maintenance controller;
        controller.mode = mode;
        switch (mode) {
        case RunMode::Loader:
            controller.ParseArguments(*arguments);
            returnCode = controller.ProcessLoaderMode();
            break;
        case RunMode::Worker:
            controller.ParseArguments(*arguments);
            returnCode = controller.ProcessWorkerMode();
            break;
        case RunMode::Service:
            returnCode = ProcessServiceMode(controller);
            break;
        case RunMode::Notifier:
            controller.ParseArguments(*arguments);
            returnCode = 0;
            break;
        }
    } catch (const IMException& e) {
        mainLogger().Error(L"IMException occured. (exCode: %d, exText: %ls)", e.GetErrorNumber(),
                           e.GetErrorDescription());
        returnCode = -1;
    }
    uninitializeCrypto.reset();
    uninitializeCom.reset();
    mainLogger().Info(L"wWinMain exit (returnCode: %d)", returnCode);
    return returnCode;
}

} // namespace ZEPMaintenance
