// Both ends of a named pipe in one process: the conversation with its log lines, how it ends, and the
// failures with their codes, over the platform's real pipe calls.
#include "ipc/PipeClient.h"
#include "ipc/PipePrimitives.h"
#include "ipc/PipeServer.h"

#include "support/CapturedLog.h"
#include "support/ErrorCodeOf.h"
#include "unit/ipc/PipeTestSupport.h"

#include <gtest/gtest.h>
#include <thread>

namespace ZEPMaintenance {
namespace {

using test::CapturedLog;
using test::CodeOf;

class PipeTest : public ::testing::Test {
protected:
    // A server waiting in ReadMode and a client connected to it in WriteMode, as loader and worker.
    void Converse() {
        server.Create(name, ReadMode);
        client.Connect(name, WriteMode);
        server.Bind();
    }

    // The next message the server reads; an empty one with id -1 when none comes.
    PipeMessage Next() {
        PipeMessage message{-1, L""};
        EXPECT_TRUE(test::NextMessage(server, message)) << log.Dump();
        return message;
    }

    CapturedLog log;
    test::ScopedMachineRoot machine;
    const std::wstring name = test::FreshPipeName();
    PipeServer server;
    PipeClient client;
};

TEST_F(PipeTest, MessagesArriveInOrderWithTheirLines) {
    // A client may connect, and write, before the server binds.
    server.Create(name, ReadMode);
    client.Connect(name, WriteMode);
    client.WriteSynch({0, L"Update"});
    server.Bind(0);
    EXPECT_TRUE(server.HasReceiveThread() && !server.HasSendThread());
    EXPECT_TRUE(client.HasSendThread() && !client.HasReceiveThread());
    // A second Bind finds the client there and its thread running.
    server.Bind(0);
    const std::vector<PipeMessage> sent = {
        {0, L"Update"}, {3, L""}, {4, L"Chyba: přístup odepřen"}, {0, std::wstring(4088, L'm')}};
    for (std::size_t i = 1; i < sent.size(); ++i) {
        client.WriteSynch(sent[i]);
    }
    for (const PipeMessage& expected : sent) {
        EXPECT_EQ(Next(), expected);
    }
    PipeMessage none;
    EXPECT_FALSE(server.Read(none));
    EXPECT_FALSE(server.IsClosed());
    EXPECT_EQ(log.Missing({{LevelDebug, L"Create: [name: " + name + L", mode: 1]."},
                           {LevelDebug, L"Connect: [name: " + name + L", mode: 2]."},
                           {LevelDebug, L"WriteSynch: [msg.id: 0, msg.msg: Update]"},
                           {LevelInfo, L"Sending 14 bytes"},
                           {LevelInfo, L"Sending 8 bytes"},
                           {LevelInfo, L"Sending 4096 bytes"},
                           {LevelDebug, L"Read: [msg.id: 3, msg.msg: ]"}}),
              L"");
}

TEST_F(PipeTest, TheClientsEndEndsTheListenerAndDiscardsWhatIsQueued) {
    Converse();
    client.WriteSynch({0, L"first"});
    client.WriteSynch({1, L""});
    client.Close();
    client.Close();
    EXPECT_TRUE(client.IsClosed());
    // The receive thread queues both messages, then sees the end and closes the server.
    server.WaitForThreads();
    EXPECT_TRUE(log.Has(LevelInfo, L"Receive: Client Disconnect")) << log.Dump();
    EXPECT_TRUE(server.IsClosed());
    EXPECT_FALSE(server.HasReceiveThread());
    EXPECT_EQ(server.LastFailure().code, 0);
    PipeMessage message{5, L"untouched"};
    EXPECT_FALSE(server.Read(message));
    EXPECT_EQ(message, (PipeMessage{5, L"untouched"}));

    // A closed client writes nothing and fails nothing.
    log.Clear();
    client.WriteSynch({0, L"late"});
    EXPECT_FALSE(log.Contains(L"Sending"));
    client.WaitForThreads();
    EXPECT_FALSE(client.HasSendThread());
}

TEST_F(PipeTest, WritingToAReaderThatClosedIsQuiet) {
    Converse();
    server.Close();
    server.Close();
    server.WaitForThreads();
    EXPECT_FALSE(server.HasReceiveThread());
    // The reader's end is gone (no data: 232); the worker goes on as if it had been read.
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(CodeOf([&] { client.WriteSynch({0, L"nobody reads this"}); }), 0);
    }
    EXPECT_FALSE(log.Contains(L"WriteFile failed")) << log.Dump();
    EXPECT_FALSE(client.IsClosed());
    EXPECT_EQ(client.LastFailure().code, 0);
    // The server's own Close is no failure and no disconnect of the client.
    EXPECT_FALSE(log.Contains(L"Receive:"));
}

TEST_F(PipeTest, AReaderThatTakesNothingCannotHoldTheWriter) {
    // A server that never reads: its pipe fills up.
    platform::PipeHandle stalled;
    ASSERT_EQ(platform::CreatePipe(name, ReadMode, stalled), 0u);
    test::CountedPauses counted;
    counted.writeTimeoutMs = 20;
    PipeClient writer(counted.Timing());
    writer.Connect(name, WriteMode);
    ASSERT_EQ(platform::WaitForClient(stalled, kWaitForever), 0u);
    const PipeMessage message{0, std::wstring(1000, L'w')};
    for (int written = 0; written < 100000 && !writer.IsClosed(); ++written) {
        EXPECT_EQ(CodeOf([&] { writer.WriteSynch(message); }), 0);
    }
    EXPECT_TRUE(writer.IsClosed());
    EXPECT_TRUE(log.Has(LevelWarn, L"WriteSynch: Reader takes no messages, pipe closed. (lastError: 121)"))
        << log.Dump();
    EXPECT_EQ(writer.LastFailure().code, 151);
    EXPECT_EQ(writer.LastFailure().systemError, 121u);
    EXPECT_FALSE(log.Contains(L"WriteFile failed"));
}

TEST_F(PipeTest, AFrameOverTheLimitIsAReadFailure) {
    Converse();
    client.WriteSynch({0, std::wstring(4089, L'x')});
    server.WaitForThreads();
    EXPECT_EQ(log.Missing({{LevelInfo, L"Sending 4097 bytes"},
                           {LevelError, L"Receive: ReadFile failed. (lastError: 234)"}}),
              L"");
    EXPECT_TRUE(server.IsClosed());
    EXPECT_EQ(server.LastFailure().code, 150);
    EXPECT_EQ(server.LastFailure().systemError, 234u);
    EXPECT_FALSE(log.Contains(L"Client Disconnect"));
}

TEST_F(PipeTest, MalformedFramesAreDroppedAndTheConversationGoesOn) {
    // A writer that does not frame its messages, as another program could.
    server.Create(name, ReadMode);
    platform::PipeHandle raw;
    ASSERT_EQ(platform::OpenPipe(name, WriteMode, raw), 0u);
    server.Bind();
    const std::vector<std::vector<uint8_t>> frames = {{1, 2, 3},
                                                      {1, 0, 0, 0, 9, 0},
                                                      {1, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0x7F, 'a'},
                                                      {2, 0, 0, 0, 2, 0, 0, 0, 'o', 'k'}};
    for (const auto& frame : frames) {
        ASSERT_EQ(platform::WritePipe(raw, frame.data(), frame.size(), kPipeWriteTimeoutMs), 0u);
    }
    EXPECT_EQ(Next(), (PipeMessage{2, L"ok"}));
    PipeMessage message;
    EXPECT_FALSE(server.Read(message));
    EXPECT_FALSE(server.IsClosed());
    // The writer's end closes with its handle.
    raw.Reset();
    server.WaitForThreads();
    EXPECT_EQ(log.Missing({{LevelWarn, L"Receive: Malformed message dropped. (bytes: 3)"},
                           {LevelWarn, L"Receive: Malformed message dropped. (bytes: 6)"},
                           {LevelWarn, L"Receive: Malformed message dropped. (bytes: 9)"},
                           {LevelInfo, L"Receive: Client Disconnect"}}),
              L"");
}

TEST_F(PipeTest, MisusesWarnOrFailWithTheirCodes) {
    EXPECT_EQ(CodeOf([&] { server.Create(L"", ReadMode); }), 100);
    EXPECT_EQ(CodeOf([&] { client.Connect(L"", WriteMode); }), 100);
    // A Bind without a pipe has nothing to wait on.
    EXPECT_EQ(CodeOf([&] { server.Bind(); }), 148);
    // A worker started without a pipe name never connects: its messages are dropped.
    EXPECT_EQ(CodeOf([&] { client.WriteSynch({2, L""}); }), 0);
    EXPECT_EQ(log.Missing({{LevelError, L"Create: Pipe name is empty."},
                           {LevelDebug, L"Create: [name: , mode: 1]."},
                           {LevelError, L"Connect: Pipe name is empty."},
                           {LevelError, L"Create: ConnectNamedPipe failed. (lastError: 6)"},
                           {LevelWarn, L"SendWorker - WriteMode is not enabled!"}}),
              L"");

    // Each end only in its own direction.
    log.Clear();
    Converse();
    PipeMessage message;
    EXPECT_FALSE(client.Read(message));
    server.WriteSynch({0, L"back"});
    EXPECT_EQ(log.Missing({{LevelWarn, L"SendWorker - ReadMode is not enabled!"},
                           {LevelWarn, L"SendWorker - WriteMode is not enabled!"}}),
              L"");
    EXPECT_FALSE(log.Contains(L"Sending"));
}

TEST_F(PipeTest, AClientBeforeTheServerRetriesEverySecondFiveTimes) {
    test::CountedPauses counted;
    PipeClient early(counted.Timing());
    EXPECT_EQ(CodeOf([&] { early.Connect(name, WriteMode); }), 149);
    EXPECT_EQ(counted.pauses, std::vector<uint32_t>(5, 1000));
    EXPECT_TRUE(log.Has(LevelError, L"Connect: Could not opet pipe. (lastError: 2)")) << log.Dump();
    EXPECT_FALSE(early.HasSendThread());

    // A server that comes during the third pause is found by the fourth attempt.
    test::CountedPauses patient;
    patient.onPause = [this](std::size_t count) {
        if (count == 3) {
            server.Create(name, ReadMode);
        }
    };
    PipeClient later(patient.Timing());
    later.Connect(name, WriteMode);
    EXPECT_EQ(patient.pauses.size(), 3u);
    server.Bind();
    later.WriteSynch({0, L"found"});
    EXPECT_EQ(Next().msg, L"found");

    // A second client of a busy pipe waits for it, then is refused; the first one's conversation goes on.
    test::CountedPauses busy;
    busy.busyWaitMs = 20;
    PipeClient second(busy.Timing());
    EXPECT_EQ(CodeOf([&] { second.Connect(name, WriteMode); }), 149);
    EXPECT_TRUE(log.Has(LevelError, L"Connect: Timeout. (lastError: 121)")) << log.Dump();
    EXPECT_TRUE(busy.pauses.empty());
    later.WriteSynch({0, L"still here"});
    EXPECT_EQ(Next().msg, L"still here");
}

TEST_F(PipeTest, BindIsBoundedByATimeOutAndByClose) {
    server.Create(name, ReadMode);
    EXPECT_EQ(CodeOf([&] { server.Bind(10); }), 148);
    EXPECT_TRUE(log.Has(LevelError, L"Create: ConnectNamedPipe failed. (lastError: 121)")) << log.Dump();
    EXPECT_FALSE(server.IsClosed());
    EXPECT_FALSE(server.HasReceiveThread());

    // Close from another thread ends a wait without limit; the pipe is then gone for clients.
    int32_t code = 0;
    std::jthread owner([&] { code = CodeOf([&] { server.Bind(); }); });
    server.Close();
    owner.join();
    EXPECT_EQ(code, 148);
    EXPECT_TRUE(log.Has(LevelError, L"Create: ConnectNamedPipe failed. (lastError: 995)")) << log.Dump();
    EXPECT_FALSE(server.HasReceiveThread());
    test::CountedPauses counted;
    PipeClient late(counted.Timing());
    EXPECT_EQ(CodeOf([&] { late.Connect(name, WriteMode); }), 149);
    EXPECT_EQ(counted.pauses.size(), 5u);
}

TEST_F(PipeTest, ADestroyedServerFreesTheName) {
    {
        PipeServer destroyed;
        destroyed.Create(name, ReadMode);
    }
    server.Create(name, ReadMode);
}

} // namespace
} // namespace ZEPMaintenance
