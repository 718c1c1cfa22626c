// Windows side of the entry point: the GUI program's wWinMain hands its command-line tail on.
#include "app/ProgramMain.h"
#include "base/win/WinHeaders.h"

int WINAPI wWinMain(HINSTANCE /*instance*/, HINSTANCE /*previous*/, PWSTR commandLine, int /*show*/) {
    return ZEPMaintenance::ProgramMain(commandLine);
}
