// The Maintenance controller: option checks and the mode handlers.
#include "app/Maintenance.h"

#include "base/Platform.h"
#include "diag/IMException.h"
#include "diag/MessageTable.h"
#include "system/Text.h"
#include "system/WinRegistryKey.h"

#include <cstdlib>
#include <ctime>

namespace ZEPMaintenance {

namespace {

// An option or sub-key text and the value it stands for.
template <class T> struct NamedValue {
    const wchar_t* text;
    T value;
};

constexpr NamedValue<Operation> kOperations[] = {
    {L"rollback", Operation::Rollback},
    {L"update", Operation::Update},
    {L"refreshZEPPKIServiceRegistryKeys", Operation::RefreshZEPPKIServiceRegistryKeys},
    {L"install", Operation::Install},
    {L"uninstall", Operation::Uninstall},
    {L"msiupdate", Operation::MsiUpdate},
};

constexpr NamedValue<EnvironmentKind> kEnvironments[] = {
    {L"product", EnvironmentKind::Product},
    {L"test", EnvironmentKind::Test},
    {L"development", EnvironmentKind::Development},
};

} // namespace

Maintenance::Maintenance() = default;

Maintenance::~Maintenance() = default;

void Maintenance::ParseArguments(const ArgumentMap& newArguments) {
    arguments = newArguments;

    if (!HasArgument(arguments, L"-op")) {
        logger.Error(L"ParseArguments: Argument -op is not set.");
        ThrowIMException(ErrorCode::kArgumentError);
    }
    if (HasArgument(arguments, L"-lang")) {
        lang = GetIntArgument(arguments, L"-lang");
    }
    if (HasArgument(arguments, L"-guiPipe")) {
        guiPipeName = L"\\\\.\\pipe\\" + GetArgument(arguments, L"-guiPipe");
    }

    const std::wstring opText = GetArgument(arguments, L"-op");
    op = Operation::None;
    for (const auto& [text, value] : kOperations) {
        if (opText == text) {
            op = value;
        }
    }
    if (op == Operation::None) {
        logger.Error(L"ParseArguments: Argument -op contains unknown value (op: %ls).", opText);
        ThrowIMException(ErrorCode::kArgumentError);
    }

    if (HasArgument(arguments, L"-env")) {
        try {
            environment = GetIntArgument(arguments, L"-env");
            environmentSet = true;
        } catch (const IMException& e) {
            logger.Error(L"ParseArguments: Argument -env value error (exCode: %d, exText: %ls).",
                         e.GetErrorNumber(), e.GetErrorDescription());
            ThrowIMException(ErrorCode::kArgumentError);
        }
    }

    // The worker's operations name the user the run is for: only that user's loader gets its progress.
    const bool forUser = op == Operation::RefreshZEPPKIServiceRegistryKeys || op == Operation::Update ||
                         op == Operation::Rollback || op == Operation::MsiUpdate;
    if (forUser && HasArgument(arguments, L"-usid")) {
        try {
            userSid = SidFromString(GetArgument(arguments, L"-usid"));
        } catch (const IMException& e) {
            logger.Error(L"ParseArguments: Argument -usid value error (exCode: %d, exText: %ls).",
                         e.GetErrorNumber(), e.GetErrorDescription());
            ThrowIMException(ErrorCode::kArgumentError);
        }
    }

    setupCompanionRegistry = HasArgument(arguments, L"-setupZEPPKIServiceRegistry");

    if (op == Operation::Rollback || op == Operation::Update) {
        ParseFolderArguments();
    }

    // The MSI update waits for the client application as the host update does.
    if ((op == Operation::Update || op == Operation::MsiUpdate) && mode == RunMode::Worker &&
        HasArgument(arguments, L"-hpid")) {
        hostProcessId = GetIntArgument(arguments, L"-hpid");
    }

    if (op == Operation::MsiUpdate) {
        ParseMsiArguments();
    }

    RequireLoaderOfUser();
}

void Maintenance::RequireLoaderOfUser() {
    // Every worker, however it was started: the service on Windows is not told who started it.
    if (mode != RunMode::Worker || !userSid.IsValid()) {
        return;
    }
    if (!loaderProcess.IsOpen()) {
        if (!HasArgument(arguments, L"-lpid")) {
            logger.Error(
                L"ParseArguments: Argument -usid is set without -lpid; nothing is touched. (usid: %ls)",
                userSid.Sid());
            ThrowIMException(ErrorCode::kInvalidValue);
        }
        try {
            loaderProcess.Open(static_cast<uint32_t>(GetIntArgument(arguments, L"-lpid")));
        } catch (const IMException& e) {
            logger.Error(L"ParseArguments: Argument -lpid value error (exCode: %d, exText: %ls).",
                         e.GetErrorNumber(), e.GetErrorDescription());
            ThrowIMException(ErrorCode::kArgumentError);
        }
    }
    const CSid owner = loaderProcess.GetOwner();
    if (!(owner == userSid)) {
        logger.Error(L"ParseArguments: The loader process does not belong to the user of -usid; nothing is "
                     L"touched. (lpid: %u, owner: %ls, usid: %ls)",
                     loaderProcess.GetProcessId(), owner.Sid(), userSid.Sid());
        ThrowIMException(ErrorCode::kInvalidValue);
    }
}

void Maintenance::ParseFolderArguments() {
    if (!HasArgument(arguments, L"-pp")) {
        logger.Error(L"ParseArguments: Argument -pp is not set.");
        ThrowIMException(ErrorCode::kArgumentError);
    }
    if (!HasArgument(arguments, L"-dp")) {
        logger.Error(L"ParseArguments: Argument -dp is not set.");
        ThrowIMException(ErrorCode::kArgumentError);
    }
    if (HasArgument(arguments, L"-lpid")) {
        try {
            const int32_t loaderProcessId = GetIntArgument(arguments, L"-lpid");
            loaderProcess.Open(static_cast<uint32_t>(loaderProcessId));
        } catch (const IMException& e) {
            logger.Error(L"ParseArguments: Argument -lpid value error (exCode: %d, exText: %ls).",
                         e.GetErrorNumber(), e.GetErrorDescription());
            ThrowIMException(ErrorCode::kArgumentError);
        }
    }
    Directory programDirectory;
    Directory dataDirectory;
    const struct {
        const wchar_t* option;
        Directory& directory;
    } folders[] = {{L"-pp", programDirectory}, {L"-dp", dataDirectory}, {L"-imdp", imDataDirectory}};
    for (const auto& folder : folders) {
        if (!HasArgument(arguments, folder.option)) {
            continue; // only -imdp may be absent here
        }
        try {
            folder.directory.SetFullPath(GetArgument(arguments, folder.option));
        } catch (const IMException& e) {
            LogFolderError(folder.option, e);
            ThrowIMException(ErrorCode::kArgumentError);
        }
    }
    layout = EngineLayout(programDirectory, dataDirectory);
}

void Maintenance::LogFolderError(const wchar_t* option, const IMException& e) const {
    const std::wstring name = option;
    if (name == L"-pp") {
        logger.Error(L"ParseArguments: Argument -pp value error (exCode: %d, exText: %ls).",
                     e.GetErrorNumber(), e.GetErrorDescription());
    } else if (name == L"-dp") {
        logger.Error(L"ParseArguments: Argument -dp value error (exCode: %d, exText: %ls).",
                     e.GetErrorNumber(), e.GetErrorDescription());
    } else {
        logger.Error(L"ParseArguments: Argument -imdp value error (exCode: %d, exText: %ls).",
                     e.GetErrorNumber(), e.GetErrorDescription());
    }
}

void Maintenance::ParseMsiArguments() {
    if (!HasArgument(arguments, L"-msi")) {
        logger.Error(L"ParseArguments: Argument -msi is not set.");
        ThrowIMException(ErrorCode::kArgumentError);
    }
    msiPath = GetArgument(arguments, L"-msi");
    if (!HasArgument(arguments, L"-msimethod")) {
        logger.Warn(L"ParseArguments: Argument -msimethod is not set.");
    }
    if (!HasArgument(arguments, L"-msipar")) {
        logger.Warn(L"ParseArguments: Argument -msipar is not set.");
    }
    // An absent option ends parsing here with code 101, after its warning above.
    msiMethod = GetArgument(arguments, L"-msimethod");
    msiParameters = GetBase64Argument(arguments, L"-msipar");
    msiTimeout = -1;
    if (HasArgument(arguments, L"-msitimeout")) {
        msiTimeout = GetIntArgument(arguments, L"-msitimeout");
    }
}

EnvironmentKind Maintenance::GetEnvironment() {
    if (environmentSet) {
        return static_cast<EnvironmentKind>(environment);
    }
    try {
        const std::wstring program = GetModuleFilename();
        WinRegistryKey settings;
        if (settings.KeyExists(WinRegistryKey::LocalMachine, kSettingsKey)) {
            settings.Open(WinRegistryKey::LocalMachine, kSettingsKey, false);
            bool matched = false;
            for (const std::wstring& name : settings.GetSubKeyNames()) {
                WinRegistryKey environmentKey;
                environmentKey.Open(WinRegistryKey::LocalMachine, std::wstring(kSettingsKey) + L"\\" + name,
                                    false);
                if (environmentKey.GetStringValue(L"path") != program) {
                    continue;
                }
                for (const auto& [text, kind] : kEnvironments) {
                    if (name == text) {
                        environment = static_cast<int32_t>(kind);
                    }
                }
                matched = true;
                break;
            }
            if (!matched) {
                environment = static_cast<int32_t>(EnvironmentKind::Product);
            }
        } else {
            environment = static_cast<int32_t>(EnvironmentKind::Product);
        }
    } catch (const IMException&) {
        // The lookup never fails: whatever goes wrong, the program is the product.
        environment = static_cast<int32_t>(EnvironmentKind::Product);
    }
    environmentSet = true;
    logger.Debug(L"GetEnvironment: Environment decided. (environment: %d)", environment);
    return static_cast<EnvironmentKind>(environment);
}

std::wstring Maintenance::GetServiceName() {
    std::wstring name = L"Z.EP Maintenance Service2";
    switch (GetEnvironment()) {
    case EnvironmentKind::Test:
        name += L" (test)";
        break;
    case EnvironmentKind::Development:
        name += L" (development)";
        break;
    default:
        break;
    }
    return name;
}

std::wstring Maintenance::GetProductRegistryKeyPath() {
    return std::wstring(kSettingsKey) + L"\\" + EnvironmentName();
}

std::wstring Maintenance::EnvironmentName() {
    const EnvironmentKind kind = GetEnvironment();
    for (const auto& [text, value] : kEnvironments) {
        if (kind == value) {
            return text;
        }
    }
    return L"";
}

std::wstring Maintenance::GenerateGuiPipeName() {
    std::srand(static_cast<unsigned>(std::time(nullptr)));
    const int number = std::rand() % 10000;
    const std::wstring name =
        L"ZEPMaintenance_" + std::to_wstring(platform::CurrentProcessId()) + L"_" + std::to_wstring(number);
    guiPipeName = L"\\\\.\\pipe\\" + name;
    logger.Debug(L"GenerateGuiPipeName: Pipe name generated. (guiPipeName: %ls)", guiPipeName);
    return name;
}

void Maintenance::SendGuiMessage(int32_t id, const std::wstring& text) {
    guiPipe.WriteSynch(PipeMessage{id, text});
    guiMessagePause(kGuiMessagePauseMs);
}

void Maintenance::SendGuiText(int32_t textId) {
    SendGuiMessage(static_cast<int32_t>(GuiMessageId::SetStatus), GuiTextTable().Lookup(textId, lang));
}

void Maintenance::ShowText(GuiText text) {
    SendGuiText(static_cast<int32_t>(text));
}

void Maintenance::Send(GuiMessageId id, const std::wstring& text) {
    SendGuiMessage(static_cast<int32_t>(id), text);
}

} // namespace ZEPMaintenance
