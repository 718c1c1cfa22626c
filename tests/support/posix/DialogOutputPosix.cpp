// Test support, Linux side of DialogOutput: the dialog started with standard output sent to a file.
#include "support/DialogOutput.h"

#include "base/Cleanup.h"

#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <unistd.h>

namespace ZEPMaintenance::test {

namespace {
const char* kOutputName = "dialog-output.txt";
}

const char* DialogSkipReason() {
    return nullptr;
}

void DialogOutput::Start(Dialog& dialog) {
    std::fflush(stdout);
    const int saved = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    const int file =
        open((folder_.FsPath() / kOutputName).c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    dup2(file, STDOUT_FILENO);
    close(file);
    const Cleanup restore([saved] {
        dup2(saved, STDOUT_FILENO);
        close(saved);
    });
    dialog.InitDialogThread();
}

std::vector<std::string> DialogOutput::Lines() const {
    std::vector<std::string> lines;
    std::ifstream file(folder_.FsPath() / kOutputName);
    for (std::string line; std::getline(file, line);) {
        lines.push_back(line);
    }
    return lines;
}

} // namespace ZEPMaintenance::test
