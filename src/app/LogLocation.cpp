// The log file's place below the program-data folder.
#include "app/LogLocation.h"

#include "base/CodePage.h"
#include "base/Platform.h"
#include "diag/IMException.h"
#include "diag/Log.h"
#include "system/Directory.h"

namespace ZEPMaintenance {

File GetLogFilePath(const std::wstring& modeText) {
    Directory programData;
    programData.SetSpecialFolder(KnownFolder::ProgramData);
    Directory folder(programData.GetFullPath(), L"Z.EP Maintenance2");
    File logFile(folder.GetFullPath(), L"ZEPMaintenance2-" + LogFileModePart(modeText) + L".log");
    if (!folder.Exists()) {
        try {
            folder.Create();
        } catch (const IMException& e) {
            ReportLostLog(WideToMultiByte(logFile.GetFullPath(), kAnsiCodePage),
                          "its folder cannot be created (" +
                              WideToMultiByte(e.GetErrorDescription(), kAnsiCodePage) +
                              ", exCode: " + std::to_string(e.GetErrorNumber()) + ")");
            throw;
        }
        platform::ShareLogFolder(folder.GetFullPath());
    }
    return logFile;
}

} // namespace ZEPMaintenance
