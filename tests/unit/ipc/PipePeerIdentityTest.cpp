// Who serves a pipe and who writes to it, with both ends in this process: root on Linux, and under Wine
// its one user, whose processes all hold Builtin Administrators.
#include "ipc/PipeClient.h"
#include "ipc/PipeServer.h"

#include "base/Platform.h"
#include "support/CapturedLog.h"
#include "support/ErrorCodeOf.h"
#include "system/WinProcess.h"
#include "unit/ipc/PipePeerIdentitySupport.h"
#include "unit/ipc/PipeTestSupport.h"

#include <gtest/gtest.h>
#include <optional>

namespace ZEPMaintenance {
namespace {

using test::CapturedLog;
using test::CodeOf;

CSid OwnUser() {
    WinProcess self;
    self.OpenCurrentProcess();
    return self.GetOwner();
}

TEST(PipePeerIdentityTest, AWorkerWritesOnlyToThePipeOfTheUserItIsFor) {
    const CSid own = OwnUser();
    // Nobody's account on any machine: the authority of a domain with no such user.
    const CSid stranger(5, {21, 1, 2, 3, 1001});
    const test::ExpectedServerCase cases[] = {
        {"no user named: an administrator's pipe", std::nullopt, true},
        {"the administrators named", CSid::Administrators(), true},
        {"this process's own user named", own, true},
        {"another user named", stranger, false},
    };
    for (const auto& [what, expected, used] : cases) {
        SCOPED_TRACE(what);
        CapturedLog log;
        test::ScopedMachineRoot machine;
        const std::wstring name = test::FreshPipeName();
        PipeServer server;
        server.Create(name, ReadMode);
        PipeClient client;
        EXPECT_EQ(CodeOf([&] { client.Connect(name, WriteMode, expected); }), used ? 0 : 149) << log.Dump();
        EXPECT_EQ(
            log.Has(LevelError, test::RefusalLine(name, own.Sid(), platform::CurrentProcessId(), expected)),
            !used)
            << log.Dump();
        client.WriteSynch({7, L"progress"});
        if (!used) {
            EXPECT_FALSE(client.HasSendThread());
            continue;
        }
        server.Bind(60000);
        PipeMessage message;
        ASSERT_TRUE(test::NextMessage(server, message)) << log.Dump();
        EXPECT_EQ(message.id, 7);
        // This process is an administrator's: the server keeps it as its client.
        EXPECT_FALSE(log.Contains(L"dropped"));
    }
}

} // namespace
} // namespace ZEPMaintenance
