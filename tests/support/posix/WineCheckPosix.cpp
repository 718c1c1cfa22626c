// Test support, Linux side: a native program never runs inside Wine.
#include "support/SystemSupport.h"

namespace ZEPMaintenance::test {

bool RunningUnderWine() {
    return false;
}

} // namespace ZEPMaintenance::test
