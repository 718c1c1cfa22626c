// The test peer in a process of its own plays the worker against a server in this one.
#include "ipc/PipeServer.h"

#include "base/Platform.h"
#include "support/CapturedLog.h"
#include "support/TempDir.h"
#include "system/Text.h"
#include "system/WinProcess.h"
#include "unit/ipc/PipeTestSupport.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>

namespace ZEPMaintenance {
namespace {

class PipePeerTest : public ::testing::Test {
protected:
    // Starts the peer on this test's pipe with the given steps.
    void StartPeer(const std::wstring& steps) {
        const std::wstring program =
            GetModuleDirectory() + platform::kPathSeparator + Utf8ToWide(ZEP_PIPE_PEER_NAME);
        peer.Start(program, L"--pipe " + name.substr(9) + L" --quiet --retry-pause 20 " + steps, L"", false);
    }

    // A file the peer waits for: the test creates it once it has read what came before.
    std::wstring Handshake(const char* file) const { return (folder.FsPath() / file).wstring(); }

    // The next count messages, then the handshake file made.
    std::vector<PipeMessage> ReadMessages(std::size_t count, const char* release) {
        std::vector<PipeMessage> messages;
        PipeMessage message;
        while (messages.size() < count && test::NextMessage(loader, message)) {
            messages.push_back(message);
        }
        std::ofstream(folder.FsPath() / release) << "go";
        return messages;
    }

    // The peer's end closes as it exits, whether the listener read all it sent or not.
    void ExpectPeerEnded(uint32_t exitCode) {
        loader.WaitForThreads();
        EXPECT_TRUE(log.Has(LevelInfo, L"Receive: Client Disconnect"));
        ASSERT_TRUE(peer.WaitToClose(60));
        EXPECT_EQ(peer.GetExitCode(), exitCode);
    }

    test::CapturedLog log;
    test::ScopedMachineRoot machine;
    test::TempDir folder;
    const std::wstring name = test::FreshPipeName();
    PipeServer loader;
    WinProcess peer;
};

TEST_F(PipePeerTest, SendsItsStepsFromTheCommandLine) {
    loader.Create(name, ReadMode);
    StartPeer(L"--send 0:Update --pause 5 --send \"3:/opt/a b/run.sh\" --send 4 --wait-for \"" +
              Handshake("first") + L"\" --pace 1 --send 1 --wait-for \"" + Handshake("second") + L"\"");
    loader.Bind(60000);
    EXPECT_EQ(ReadMessages(3, "first"),
              (std::vector<PipeMessage>{{0, L"Update"}, {3, L"/opt/a b/run.sh"}, {4, L""}}))
        << log.Dump();
    EXPECT_EQ(ReadMessages(1, "second"), (std::vector<PipeMessage>{{1, L""}}));
    ExpectPeerEnded(0);
}

TEST_F(PipePeerTest, ReadsAScriptAndClosesWhenTold) {
    const std::filesystem::path script = folder.FsPath() / "steps.txt";
    std::ofstream(script, std::ios::binary)
        << "# the status line in Slovak\n"
        << "send 0:Aktualizácia aplikácie\r\n"
        << "\n"
        << "pace 1\n"
        << "send 4:Detail: C:\\temp\n"
        << "wait-for " << WideToMultiByte(Handshake("read"), kUtf8CodePage) << "\n"
        << "close\n"
        << "send 1\n";
    loader.Create(name, ReadMode);
    StartPeer(L"--script \"" + script.wstring() + L"\"");
    loader.Bind(60000);
    EXPECT_EQ(ReadMessages(2, "read"),
              (std::vector<PipeMessage>{{0, L"Aktualizácia aplikácie"}, {4, L"Detail: C:\\temp"}}))
        << log.Dump();
    // Closed before its last message: the listener ends without it.
    ExpectPeerEnded(0);
}

TEST_F(PipePeerTest, FailsWhenNoServerComes) {
    StartPeer(L"--send 0:lost");
    ASSERT_TRUE(peer.WaitToClose(60));
    EXPECT_EQ(peer.GetExitCode(), 1u);
}

} // namespace
} // namespace ZEPMaintenance
