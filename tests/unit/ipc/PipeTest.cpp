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

    // The index of the first line with exactly this message, or -1.
    std::ptrdiff_t LineOf(const std::wstring& message) const {
        const auto& lines = log.Lines();
        for (std::size_t i = 0; i < lines.size(); ++i) {
            if (lines[i].message == message) {
                return static_cast<std::ptrdiff_t>(i);
            }
        }
        return -1;
    }

    CapturedLog log;
    test::ScopedMachineRoot machine;
    const std::wstring name = test::FreshPipeName();
    PipeServer server;
    PipeClient client;
};

TEST_F(PipeTest, MessagesArriveInOrderWithTheirLines) {
    Converse();
    EXPECT_TRUE(log.Has(LevelDebug, L"Create: [name: " + name + L", mode: 1]."));
    EXPECT_TRUE(log.Has(LevelDebug, L"Connect: [name: " + name + L", mode: 2]."));
    EXPECT_TRUE(log.Has(LevelDebug, L"Bind"));
    EXPECT_TRUE(server.HasReceiveThread());
    EXPECT_FALSE(server.HasSendThread());
    EXPECT_FALSE(client.HasReceiveThread());
    EXPECT_TRUE(client.HasSendThread());

    const std::vector<PipeMessage> sent = {
        {0, L"Update"}, {3, L""}, {4, L"Chyba: přístup odepřen"}, {0, std::wstring(4088, L'm')}};
    for (const PipeMessage& message : sent) {
        client.WriteSynch(message);
    }
    for (const PipeMessage& expected : sent) {
        PipeMessage received;
        ASSERT_TRUE(test::NextMessage(server, received)) << log.Dump();
        EXPECT_EQ(received, expected);
    }
    EXPECT_TRUE(log.Has(LevelDebug, L"WriteSynch: [msg.id: 0, msg.msg: Update]"));
    EXPECT_TRUE(log.Has(LevelInfo, L"Sending 14 bytes"));
    EXPECT_TRUE(log.Has(LevelInfo, L"Sending 8 bytes"));
    EXPECT_TRUE(log.Has(LevelInfo, L"Sending 4096 bytes"));
    EXPECT_TRUE(log.Has(LevelDebug, L"Read: [msg.id: 0, msg.msg: Update]"));
    EXPECT_TRUE(log.Has(LevelDebug, L"Read: [msg.id: 3, msg.msg: ]"));
    EXPECT_TRUE(log.Has(LevelDebug, L"ReceiveWorker"));
    EXPECT_TRUE(log.Has(LevelDebug, L"IsClosed"));
    PipeMessage none;
    EXPECT_FALSE(server.Read(none));
    EXPECT_FALSE(server.IsClosed());
    // The send thread only waits; it has started once it has ended.
    client.Close();
    client.WaitForThreads();
    EXPECT_TRUE(log.Has(LevelDebug, L"SendWorker"));
}

TEST_F(PipeTest, TheClientsEndEndsTheListenerAndDiscardsWhatIsQueued) {
    Converse();
    client.WriteSynch({0, L"first"});
    client.WriteSynch({1, L""});
    client.Close();
    EXPECT_TRUE(client.IsClosed());
    // The receive thread queues both messages, then sees the end and closes the server.
    server.WaitForThreads();
    EXPECT_TRUE(log.Has(LevelInfo, L"Receive: Client Disconnect")) << log.Dump();
    EXPECT_TRUE(server.IsClosed());
    EXPECT_EQ(server.LastFailure().code, 0);
    log.Clear();
    PipeMessage message{5, L"untouched"};
    EXPECT_FALSE(server.Read(message));
    EXPECT_EQ(message, (PipeMessage{5, L"untouched"}));
    EXPECT_TRUE(log.Has(LevelDebug, L"Read"));
    EXPECT_TRUE(log.Has(LevelDebug, L"IsClosed"));
    EXPECT_FALSE(log.Contains(L"Read: ["));

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
    server.WaitForThreads();
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
    int written = 0;
    for (; written < 100000 && !writer.IsClosed(); ++written) {
        EXPECT_EQ(CodeOf([&] { writer.WriteSynch(message); }), 0);
    }
    EXPECT_TRUE(writer.IsClosed());
    EXPECT_TRUE(log.Has(LevelWarn, L"WriteSynch: Reader takes no messages, pipe closed. (lastError: 121)"))
        << written << L" written\n"
        << log.Dump();
    EXPECT_EQ(writer.LastFailure().code, 151);
    EXPECT_EQ(writer.LastFailure().systemError, 121u);
    EXPECT_FALSE(log.Contains(L"WriteFile failed"));
}

TEST_F(PipeTest, CloseIsIdempotentAndEndsBothThreads) {
    Converse();
    client.WriteSynch({0, L"queued"});
    PipeMessage message;
    ASSERT_TRUE(test::NextMessage(server, message));
    for (Pipe* pipe : {static_cast<Pipe*>(&server), static_cast<Pipe*>(&client)}) {
        pipe->Close();
        pipe->Close();
        pipe->WaitForThreads();
        EXPECT_TRUE(pipe->IsClosed());
        EXPECT_FALSE(pipe->HasReceiveThread());
        EXPECT_FALSE(pipe->HasSendThread());
    }
    EXPECT_FALSE(server.Read(message));
}

TEST_F(PipeTest, AFrameOverTheLimitIsAReadFailure) {
    Converse();
    client.WriteSynch({0, std::wstring(4089, L'x')});
    server.WaitForThreads();
    EXPECT_TRUE(log.Has(LevelInfo, L"Sending 4097 bytes"));
    EXPECT_TRUE(log.Has(LevelError, L"Receive: ReadFile failed. (lastError: 234)")) << log.Dump();
    EXPECT_TRUE(server.IsClosed());
    const PipeFailure failure = server.LastFailure();
    EXPECT_EQ(failure.code, 150);
    EXPECT_EQ(failure.systemError, 234u);
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
    PipeMessage message;
    ASSERT_TRUE(test::NextMessage(server, message)) << log.Dump();
    EXPECT_EQ(message, (PipeMessage{2, L"ok"}));
    EXPECT_TRUE(log.Has(LevelWarn, L"Receive: Malformed message dropped. (bytes: 3)"));
    EXPECT_TRUE(log.Has(LevelWarn, L"Receive: Malformed message dropped. (bytes: 6)"));
    EXPECT_TRUE(log.Has(LevelWarn, L"Receive: Malformed message dropped. (bytes: 9)"));
    EXPECT_FALSE(server.Read(message));
    EXPECT_FALSE(server.IsClosed());
    // The writer's end closes with its handle.
    raw.Reset();
    server.WaitForThreads();
    EXPECT_TRUE(log.Has(LevelInfo, L"Receive: Client Disconnect"));
}

TEST_F(PipeTest, WrongDirectionsWarnAndDoNothing) {
    Converse();
    PipeMessage message;
    EXPECT_FALSE(client.Read(message));
    EXPECT_TRUE(log.Has(LevelWarn, L"SendWorker - ReadMode is not enabled!"));
    server.WriteSynch({0, L"back"});
    EXPECT_TRUE(log.Has(LevelWarn, L"SendWorker - WriteMode is not enabled!"));
    EXPECT_FALSE(log.Contains(L"Sending"));

    // A worker started without a pipe name never connects: its messages are dropped the same way.
    log.Clear();
    PipeClient unconnected;
    EXPECT_EQ(CodeOf([&] { unconnected.WriteSynch({2, L""}); }), 0);
    EXPECT_TRUE(log.Has(LevelWarn, L"SendWorker - WriteMode is not enabled!"));
}

TEST_F(PipeTest, EmptyNamesAreRefused) {
    EXPECT_EQ(CodeOf([&] { server.Create(L"", ReadMode); }), 100);
    EXPECT_TRUE(log.Has(LevelError, L"Create: Pipe name is empty."));
    EXPECT_TRUE(log.Has(LevelDebug, L"Create: [name: , mode: 1]."));
    EXPECT_EQ(CodeOf([&] { client.Connect(L"", WriteMode); }), 100);
    EXPECT_TRUE(log.Has(LevelError, L"Connect: Pipe name is empty."));
    // A Bind without a pipe has nothing to wait on.
    EXPECT_EQ(CodeOf([&] { server.Bind(); }), 148);
    EXPECT_TRUE(log.Has(LevelError, L"Create: ConnectNamedPipe failed. (lastError: 6)"));
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
    PipeMessage message;
    ASSERT_TRUE(test::NextMessage(server, message));
    EXPECT_EQ(message.msg, L"found");
}

TEST_F(PipeTest, ABusyPipeIsWaitedForThenRefused) {
    Converse();
    test::CountedPauses counted;
    counted.busyWaitMs = 20;
    PipeClient second(counted.Timing());
    EXPECT_EQ(CodeOf([&] { second.Connect(name, WriteMode); }), 149);
    EXPECT_TRUE(log.Has(LevelError, L"Connect: Timeout. (lastError: 121)")) << log.Dump();
    EXPECT_TRUE(counted.pauses.empty());
    // The first client's conversation is not disturbed.
    client.WriteSynch({0, L"still here"});
    PipeMessage message;
    ASSERT_TRUE(test::NextMessage(server, message));
    EXPECT_EQ(message.msg, L"still here");
}

TEST_F(PipeTest, AClientMayConnectBeforeBind) {
    server.Create(name, ReadMode);
    client.Connect(name, WriteMode);
    client.WriteSynch({0, L"early"});
    server.Bind(0);
    PipeMessage message;
    ASSERT_TRUE(test::NextMessage(server, message)) << log.Dump();
    EXPECT_EQ(message.msg, L"early");
    // A second Bind finds the client there and its thread running.
    server.Bind(0);
    client.WriteSynch({0, L"still one reader"});
    ASSERT_TRUE(test::NextMessage(server, message));
    EXPECT_EQ(message.msg, L"still one reader");
}

TEST_F(PipeTest, BindIsBoundedByATimeOutAndByClose) {
    server.Create(name, ReadMode);
    EXPECT_EQ(CodeOf([&] { server.Bind(10); }), 148);
    EXPECT_TRUE(log.Has(LevelError, L"Create: ConnectNamedPipe failed. (lastError: 121)")) << log.Dump();
    EXPECT_FALSE(server.IsClosed());
    EXPECT_FALSE(server.HasReceiveThread());

    // Close from another thread ends a wait without limit; the pipe is then gone for clients.
    int32_t code = 0;
    {
        const std::jthread owner([&] { code = CodeOf([&] { server.Bind(); }); });
        server.Close();
    }
    EXPECT_EQ(code, 148);
    EXPECT_TRUE(log.Has(LevelError, L"Create: ConnectNamedPipe failed. (lastError: 995)")) << log.Dump();
    EXPECT_FALSE(server.HasReceiveThread());
    test::CountedPauses counted;
    PipeClient late(counted.Timing());
    EXPECT_EQ(CodeOf([&] { late.Connect(name, WriteMode); }), 149);
    EXPECT_EQ(counted.pauses.size(), 5u);
}

TEST_F(PipeTest, DestructionTracesOwnClassThenPipe) {
    {
        PipeServer destroyed;
        destroyed.Create(name, ReadMode);
    }
    const std::ptrdiff_t own = LineOf(L"~PipeServer");
    const std::ptrdiff_t base = LineOf(L"~Pipe");
    ASSERT_GE(own, 0);
    EXPECT_GT(base, own);
    // The name is free again for the next server.
    server.Create(name, ReadMode);
    log.Clear();
    { PipeClient unused; }
    EXPECT_LT(LineOf(L"~PipeClient"), LineOf(L"~Pipe"));
    EXPECT_GE(LineOf(L"~PipeClient"), 0);
}

} // namespace
} // namespace ZEPMaintenance
