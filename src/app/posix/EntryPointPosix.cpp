// Linux side of the entry point: rebuilds the command-line tail from argv and runs the program.
#include "app/ProgramMain.h"
#include "base/posix/Descriptor.h"
#include "system/posix/PosixSupport.h"

#include <clocale>
#include <optional>
#include <string>

int main(int argc, char** argv) {
    ZEPMaintenance::posix::OpenStandardDescriptors();
    // The tail is rebuilt so that the one command-line grammar applies: an argument that is empty
    // or holds white space is quoted, as a Windows shell would have passed it.
    std::wstring tail;
    std::optional<ZEPMaintenance::UncarriedArgument> uncarried;
    for (int i = 1; i < argc; ++i) {
        // Arguments are mostly paths: bytes that are not UTF-8 are kept as file names keep them.
        const std::wstring argument = ZEPMaintenance::posix::WidePath(argv[i]);
        // The grammar drops double quotes and has no escape for one: such an argument would be split
        // differently from how it was given, so the run refuses it instead.
        if (!uncarried && argument.find(L'"') != std::wstring::npos) {
            uncarried = ZEPMaintenance::UncarriedArgument{i, argument};
        }
        if (!tail.empty() || i > 1) {
            tail += L' ';
        }
        const bool quote = argument.empty() || argument.find_first_of(L" \t\r\n") != std::wstring::npos;
        tail += quote ? L"\"" + argument + L"\"" : argument;
    }
    // An exit code of -1 reaches the shell as 255.
    return ZEPMaintenance::ProgramMain(tail.c_str(), uncarried ? &*uncarried : nullptr) & 0xFF;
}
