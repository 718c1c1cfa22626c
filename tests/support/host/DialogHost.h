// The dialog host for tests: shows the progress dialog and applies a script of changes to it.
#pragma once

#include <string>
#include <vector>

namespace ZEPMaintenance::test {

// Runs the host with its arguments (the program name left out); returns the dialog's result.
int RunDialogHost(const std::vector<std::wstring>& arguments);

} // namespace ZEPMaintenance::test
