// The dialog host for tests, Linux side of its entry: the arguments read as UTF-8.
#include "support/host/DialogHost.h"

#include "system/Text.h"

int main(int argc, char** argv) {
    std::vector<std::wstring> arguments;
    for (int i = 1; i < argc; ++i) {
        arguments.push_back(ZEPMaintenance::Utf8ToWide(argv[i]));
    }
    // The shell sees the low byte of the result.
    return ZEPMaintenance::test::RunDialogHost(arguments) & 0xFF;
}
