// Test support: where a unit test's dialog shows itself, so that the test can read it and the dialog
// never takes over a terminal the tests run on.
#pragma once

#include "support/TempDir.h"
#include "ui/Dialog.h"

#include <string>
#include <vector>

namespace ZEPMaintenance::test {

// Why no dialog can be shown here, or null: Wine without an X display.
const char* DialogSkipReason();

// Where the dialogs a test starts show themselves: on Linux a file of its own in place of standard
// output, where they write plain lines; on Windows their windows.
class DialogOutput {
public:
    // InitDialogThread with standard output sent to the file (Linux) while the dialog takes it over;
    // the test's own output stays where it was.
    void Start(Dialog& dialog);

    // The lines written so far (none on Windows).
    std::vector<std::string> Lines() const;

private:
    TempDir folder_;
};

} // namespace ZEPMaintenance::test
