// The MSI update: the package the client application names, checked for its signer and run by the
// Windows Installer, from a copy that only administrators can change.
#pragma once

#include "diag/Logger.h"
#include "upgrade/EngineLayout.h"
#include "upgrade/Progress.h"

#include <cstdint>
#include <string>

namespace ZEPMaintenance {

struct MsiUpdateRun {
    int32_t hostProcessId = 0;
    std::wstring msiPath;
    std::wstring msiMethod;
    std::wstring msiParameters;
    int32_t msiTimeout = -1; // seconds; -1 without limit
};

namespace upgrade {

// The installer's arguments: "/passive /", the method, the package in double quotes, the parameters.
std::wstring MsiInstallerArguments(const std::wstring& method, const std::wstring& package,
                                   const std::wstring& parameters);

// The folder in root's own place that holds the package's copy while it is checked and installed:
// readable and writable by administrators only.
Directory MsiPackageFolder(const EngineLayout& layout);

// Copies the package into MsiPackageFolder, waits for the client application, checks the copy's signer
// (a refusal returns normally, nothing started), runs the installer on the copy and waits for it at most
// msiTimeout seconds. 144 on a time-out (the installer left running) or an exit code other than 0.
void DoMsiUpdate(const EngineLayout& layout, const MsiUpdateRun& run, Progress& progress,
                 const Logger& logger);

} // namespace upgrade

} // namespace ZEPMaintenance
