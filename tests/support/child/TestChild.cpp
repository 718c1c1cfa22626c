// A small program the process tests start: it records how it was started, waits and exits.
// Options: --record FILE (working folder, then each argument, one a line), --exit CODE,
// --wait-for FILE (runs until FILE exists; after a minute it gives up, so that a failed test leaves
// nothing running), --spawn PIDFILE OPTIONS... (starts a copy of itself with the options that follow,
// writes its id and exits at once), --describe FILE (Linux: its blocked and ignored signal sets, then
// each open descriptor, one a line).
#include "system/Text.h"
#include "system/WinProcess.h"

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

int main(int argc, char** argv) {
    int exitCode = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--record" && i + 1 < argc) {
            std::ofstream record(argv[++i], std::ios::binary);
            record << std::filesystem::current_path().string() << '\n';
            for (int j = 1; j < argc; ++j) {
                record << argv[j] << '\n';
            }
        } else if (option == "--wait-for" && i + 1 < argc) {
            const std::filesystem::path file = argv[++i];
            std::error_code error;
            for (int waited = 0; waited < 6000 && !std::filesystem::exists(file, error); ++waited) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        } else if (option == "--exit" && i + 1 < argc) {
            exitCode = std::atoi(argv[++i]);
        } else if (option == "--describe" && i + 1 < argc) {
            std::ofstream out(argv[++i], std::ios::binary);
            std::ifstream status("/proc/self/status");
            for (std::string line; std::getline(status, line);) {
                if (line.rfind("SigBlk:", 0) == 0 || line.rfind("SigIgn:", 0) == 0) {
                    out << line << '\n';
                }
            }
            std::error_code error;
            for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", error)) {
                out << "fd " << entry.path().filename().string() << '\n';
            }
        } else if (option == "--spawn" && i + 1 < argc) {
            const std::string pidFile = argv[++i];
            std::wstring options;
            while (++i < argc) {
                options += L" \"" + ZEPMaintenance::Utf8ToWide(argv[i]) + L"\"";
            }
            ZEPMaintenance::WinProcess grandchild;
            grandchild.Start(ZEPMaintenance::GetModuleFilename(), options, L"", false);
            std::ofstream(pidFile) << grandchild.GetProcessId() << '\n';
        }
    }
    return exitCode;
}
