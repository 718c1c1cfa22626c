// Test support, Linux side: a native program never runs inside Wine; sealed DACLs need root.
#include "support/SystemSupport.h"

#include <unistd.h>

namespace ZEPMaintenance::test {

bool RunningUnderWine() {
    return false;
}

const char* FileDaclSkipReason() {
    return geteuid() != 0 ? "needs root: trusted.* attributes and chown" : nullptr;
}

} // namespace ZEPMaintenance::test
