// zep_msi_check PACKAGE: runs the MSI signer check on one package and prints its log lines, one per
// line as "<level> <message>"; exits 0 when the package is accepted, 1 when it is refused.
#include "base/posix/Descriptor.h"
#include "base/posix/Utf8.h"
#include "diag/Log.h"
#include "upgrade/MsiValidator.h"

#include <cstdio>

using namespace ZEPMaintenance;

namespace {

int Create(const wchar_t*, LogHandleRef* out) {
    static int handle;
    *out = &handle;
    return 1;
}
bool Enabled(LogHandleRef) {
    return true;
}
template <int Level> void Write(LogHandleRef, const wchar_t* message) {
    std::printf("%d %s\n", Level, posix::EncodeUtf8(message, posix::InvalidBytes::Replace).c_str());
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: zep_msi_check PACKAGE\n");
        return 2;
    }
    LoggerFunctions functions;
    functions.create = Create;
    functions.isFatalEnabled = functions.isErrorEnabled = functions.isWarnEnabled = functions.isInfoEnabled =
        functions.isDebugEnabled = Enabled;
    functions.fatal = Write<LevelFatal>;
    functions.error = Write<LevelError>;
    functions.warn = Write<LevelWarn>;
    functions.info = Write<LevelInfo>;
    functions.debug = Write<LevelDebug>;
    InitLogging(&functions);
    const bool accepted = MsiValidator::VerifyMsiAuthenticodeSignature(posix::WidePath(argv[1]));
    InitLogging(nullptr);
    return accepted ? 0 : 1;
}
