// Windows side of who serves a pipe and who writes to it: the test peer in a process whose token holds
// Builtin Administrators for denying only, as an administrator's unelevated processes do. Wine grants
// every other process this one's token, an administrator's.
#include "base/win/WinHandle.h"
#include "ipc/PipeClient.h"
#include "ipc/PipeServer.h"
#include "support/CapturedLog.h"
#include "support/ErrorCodeOf.h"
#include "support/SystemSupport.h"
#include "support/TempDir.h"
#include "system/Text.h"
#include "system/WinProcess.h"
#include "unit/ipc/PipePeerIdentitySupport.h"
#include "unit/ipc/PipeTestSupport.h"

#include <gtest/gtest.h>
#include <optional>

namespace ZEPMaintenance {
namespace {

using test::CodeOf;

// The test peer with the given arguments, run with this process's token but Builtin Administrators
// for denying only; its standard output goes to output.
class UnelevatedPeer {
public:
    UnelevatedPeer(const std::wstring& arguments, const std::wstring& output) {
        HANDLE own = nullptr;
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, &own)) {
            return;
        }
        const platform::WinHandle token(own);
        std::vector<uint8_t> administrators = CSid::Administrators().GetBytes();
        SID_AND_ATTRIBUTES denyOnly{administrators.data(), 0};
        HANDLE filtered = nullptr;
        if (!CreateRestrictedToken(token.Get(), 0, 1, &denyOnly, 0, nullptr, 0, nullptr, &filtered)) {
            return;
        }
        const platform::WinHandle restricted(filtered);
        SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};
        const platform::WinFile out(CreateFileW(output.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherited,
                                                CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        const std::wstring program = GetModuleDirectory() + L"\\" + Utf8ToWide(ZEP_PIPE_PEER_NAME);
        std::wstring command = L"\"" + program + L"\" " + arguments;
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = out.Get();
        startup.hStdError = out.Get();
        PROCESS_INFORMATION started{};
        if (CreateProcessAsUserW(restricted.Get(), program.c_str(), command.data(), nullptr, nullptr, TRUE, 0,
                                 nullptr, nullptr, &startup, &started)) {
            process_.Reset(started.hProcess);
            CloseHandle(started.hThread);
            id_ = started.dwProcessId;
        }
    }
    ~UnelevatedPeer() {
        if (process_ && WaitForSingleObject(process_.Get(), 0) == WAIT_TIMEOUT) {
            TerminateProcess(process_.Get(), 1);
        }
    }
    bool Started() const { return static_cast<bool>(process_); }
    DWORD Id() const { return id_; }
    bool Ended() const { return WaitForSingleObject(process_.Get(), 60000) == WAIT_OBJECT_0; }

private:
    platform::WinHandle process_;
    DWORD id_ = 0;
};

std::wstring OwnUser() {
    WinProcess self;
    self.OpenCurrentProcess();
    return self.GetOwner().Sid();
}

TEST(PipePeerIdentityWinTest, ALoaderDropsAClientWithoutAdministratorsAndWaitsForTheWorker) {
    test::CapturedLog log;
    test::TempDir folder;
    const std::wstring name = test::FreshPipeName();
    PipeServer server;
    server.Create(name, ReadMode);
    const UnelevatedPeer forger(L"--pipe " + name.substr(9) + L" --send 3:forged --pause 3000",
                                folder.Path() + L"forger.txt");
    ASSERT_TRUE(forger.Started()) << GetLastError();

    // Dropped unread; no other client comes within the limit.
    EXPECT_EQ(CodeOf([&] { server.Bind(2000); }), 148);
    EXPECT_TRUE(log.Has(LevelWarn, L"Bind: Client is not an administrator, dropped. (name: " + name +
                                       L", client: " + OwnUser() + L", clientPid: " +
                                       std::to_wstring(forger.Id()) + L")"))
        << log.Dump();

    PipeClient worker;
    worker.Connect(name, WriteMode);
    worker.WriteSynch({7, L"progress"});
    server.Bind(60000);
    PipeMessage message;
    ASSERT_TRUE(test::NextMessage(server, message));
    EXPECT_EQ(message.id, 7);
}

TEST(PipePeerIdentityWinTest, AWorkerUsesAnUnelevatedLoadersPipeOnlyWhenTheRunIsForItsUser) {
    const test::ExpectedServerCase cases[] = {
        {"no -usid: administrators only", std::nullopt, false},
        {"-usid of the administrators", CSid::Administrators(), false},
        {"-usid of the loader's user", SidFromString(OwnUser()), true},
    };
    for (const auto& [what, expected, used] : cases) {
        SCOPED_TRACE(what);
        test::CapturedLog log;
        test::TempDir folder;
        const std::wstring name = test::FreshPipeName();
        const std::wstring output = folder.Path() + L"loader.txt";
        UnelevatedPeer loader(L"--serve " + name.substr(9) + L" --connect-limit 3000", output);
        ASSERT_TRUE(loader.Started()) << GetLastError();
        {
            PipeClient worker;
            EXPECT_EQ(CodeOf([&] { worker.Connect(name, WriteMode, expected); }), used ? 0 : 149);
            EXPECT_EQ(log.Has(LevelError, test::RefusalLine(name, OwnUser(), loader.Id(), expected)), !used)
                << log.Dump();
            // Wine's pipe server identifies itself rather than its client, so this loader drops even the
            // worker it should take: what reaches it is not looked at.
            if (!used) {
                worker.WriteSynch({7, L"progress"});
            }
        }
        ASSERT_TRUE(loader.Ended());
        // A refused worker is gone before the loader looks at it: the loader waits for another.
        if (!used) {
            EXPECT_EQ(test::ReadTextFile(output), "failed 148\r\n");
        }
    }
}

} // namespace
} // namespace ZEPMaintenance
