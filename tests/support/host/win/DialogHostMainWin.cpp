// The dialog host for tests, Windows side of its entry: the wide arguments as the program got them.
#include "support/host/DialogHost.h"

int wmain(int argc, wchar_t** argv) {
    return ZEPMaintenance::test::RunDialogHost(std::vector<std::wstring>(argv + 1, argv + argc));
}
