// The Maintenance controller: option checks and the mode handlers.
#include "app/Maintenance.h"

#include "diag/IMException.h"
#include "system/Text.h"

namespace ZEPMaintenance {

namespace {

struct OperationName {
    const wchar_t* text;
    Operation op;
};

constexpr OperationName kOperations[] = {
    {L"rollback", Operation::Rollback},
    {L"update", Operation::Update},
    {L"refreshZEPPKIServiceRegistryKeys", Operation::RefreshZEPPKIServiceRegistryKeys},
    {L"install", Operation::Install},
    {L"uninstall", Operation::Uninstall},
    {L"msiupdate", Operation::MsiUpdate},
};

} // namespace

Maintenance::Maintenance() = default;

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

    if (op == Operation::RefreshZEPPKIServiceRegistryKeys && HasArgument(arguments, L"-usid")) {
        try {
            userSid = SidFromString(GetArgument(arguments, L"-usid"));
        } catch (const IMException& e) {
            logger.Error(L"ParseArguments: Argument -usid value error (exCode: %d, exText: %ls).",
                         e.GetErrorNumber(), e.GetErrorDescription());
            ThrowIMException(ErrorCode::kArgumentError);
        }
    }

    setupCompanionRegistry = HasArgument(arguments, L"-setupZEPPKIServiceRegistry");
}

int32_t Maintenance::ProcessLoaderMode() {
    logger.Error(L"ProcessLoaderMode: Loader mode is not available in this build.");
    return -1;
}

int32_t Maintenance::ProcessWorkerMode() {
    logger.Error(L"ProcessWorkerMode: Worker mode is not available in this build.");
    return -1;
}

} // namespace ZEPMaintenance
