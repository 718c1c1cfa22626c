// The frame of a pipe message, byte for byte, a parser that trusts nothing it reads, and the queue's
// closing. Messages read back as written and in order are PipeTest's conversations.
#include "ipc/PipeMessage.h"
#include "ipc/MessageQueue.h"

#include <gtest/gtest.h>
#include <thread>

namespace ZEPMaintenance {
namespace {

using Bytes = std::vector<uint8_t>;

bool Parse(const Bytes& bytes, PipeMessage& message) {
    return ParseMessage(bytes.data(), bytes.size(), message);
}

TEST(PipeMessageTest, FramesAreLittleEndianIdLengthAndUtf8Text) {
    EXPECT_EQ(SerializeMessage({0, L"Update"}),
              (Bytes{0x00, 0x00, 0x00, 0x00, 0x06, 0x00, 0x00, 0x00, 0x55, 0x70, 0x64, 0x61, 0x74, 0x65}));
    EXPECT_EQ(SerializeMessage({3, L""}), (Bytes{0x03, 0, 0, 0, 0, 0, 0, 0}));
    // The id's two's-complement bits; the length counts UTF-8 bytes, not characters.
    EXPECT_EQ(SerializeMessage({-2, L"á€"}),
              (Bytes{0xFE, 0xFF, 0xFF, 0xFF, 5, 0, 0, 0, 0xC3, 0xA1, 0xE2, 0x82, 0xAC}));
    EXPECT_EQ(SerializeMessage({0x01020304, L"x"}), (Bytes{4, 3, 2, 1, 1, 0, 0, 0, 'x'}));
    // The text ends at its first NUL.
    EXPECT_EQ(SerializeMessage({1, std::wstring(L"ab\0cd", 5)}), (Bytes{1, 0, 0, 0, 2, 0, 0, 0, 'a', 'b'}));
}

TEST(PipeMessageTest, ParsingTrustsNoLength) {
    PipeMessage message{7, L"kept"};
    // Nothing at all sets nothing.
    EXPECT_TRUE(ParseMessage(nullptr, 0, message));
    EXPECT_EQ(message, (PipeMessage{7, L"kept"}));
    EXPECT_FALSE(Parse({1, 0, 0}, message));
    EXPECT_FALSE(Parse({1, 0, 0, 0, 5, 0, 0}, message));
    // A length beyond what arrived, up to the largest one, is refused before anything is read by it.
    EXPECT_FALSE(Parse({1, 0, 0, 0, 5, 0, 0, 0, 'a', 'b', 'c', 'd'}, message));
    EXPECT_FALSE(Parse({1, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 'a'}, message));
    EXPECT_FALSE(
        Parse({1, 0, 0, 0, 0xF9, 0xFF, 0xFF, 0xFF, 'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h'}, message));

    EXPECT_TRUE(Parse({2, 0, 0, 0, 2, 0, 0, 0, 'o', 'k', 'j', 'u', 'n', 'k'}, message));
    EXPECT_EQ(message, (PipeMessage{2, L"ok"}));
    EXPECT_TRUE(Parse({5, 0, 0, 0, 0, 0, 0, 0}, message));
    EXPECT_EQ(message, (PipeMessage{5, L""}));
    // Bytes that are not UTF-8 read as replacement characters.
    EXPECT_TRUE(Parse({0, 0, 0, 0, 3, 0, 0, 0, 'a', 0xFF, 'b'}, message));
    EXPECT_EQ(message.msg, L"a\uFFFDb");
}

// Closing discards what is queued, for good: the pipe checks its own state first, so only here does it
// show.
TEST(MessageQueueTest, ClosingDiscardsWhatIsQueuedForGood) {
    MessageQueue queue;
    PipeMessage message;
    queue.Push({3, L"three"});
    queue.Close();
    EXPECT_FALSE(queue.TryPop(message));
    EXPECT_FALSE(queue.WaitPop(message));
    queue.Push({4, L"four"});
    EXPECT_FALSE(queue.TryPop(message));
}

TEST(MessageQueueTest, AWaitEndsWithAPushOrWithClose) {
    MessageQueue queue;
    PipeMessage taken;
    bool got = false;
    std::jthread waiter([&] { got = queue.WaitPop(taken); });
    queue.Push({9, L"nine"});
    waiter.join();
    EXPECT_TRUE(got);
    EXPECT_EQ(taken, (PipeMessage{9, L"nine"}));
    std::jthread closed([&] { got = queue.WaitPop(taken); });
    queue.Close();
    closed.join();
    EXPECT_FALSE(got);
}

} // namespace
} // namespace ZEPMaintenance
