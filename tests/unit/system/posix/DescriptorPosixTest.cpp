// Linux side: how descriptors are made (a call a signal interrupts is made again; what it makes is
// close-on-exec and never 0, 1 or 2) and the start's opening of the standard descriptors.
#include "base/posix/Descriptor.h"
#include "support/TempDir.h"
#include "support/posix/AsNobody.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

namespace ZEPMaintenance {
namespace {

bool IsCloseOnExec(int fd) {
    const int flags = fcntl(fd, F_GETFD);
    return flags >= 0 && (flags & FD_CLOEXEC) != 0;
}

bool IsClosed(int fd) {
    return fcntl(fd, F_GETFD) < 0 && errno == EBADF;
}

bool IsNullOpenForReadAndWrite(int fd) {
    struct stat info {};
    struct stat null {};
    return fstat(fd, &info) == 0 && stat("/dev/null", &null) == 0 && S_ISCHR(info.st_mode) &&
           info.st_rdev == null.st_rdev && (fcntl(fd, F_GETFL) & O_ACCMODE) == O_RDWR;
}

// Set before a child process starts: what it opens.
std::string gPath;

volatile sig_atomic_t gTicks = 0;

void OnTick(int) {
    // An open that nothing ends fails the test instead of hanging it.
    gTicks = gTicks + 1;
    if (gTicks > 500) {
        _exit(90);
    }
}

// Opens a FIFO for reading, which waits for a writer, under a timer signal every 10 ms whose handler is
// installed without SA_RESTART: a waiting open ends with EINTR. The writer comes with the second call,
// so only a call made again can return a descriptor.
int OpenInterruptedFifo() {
    struct sigaction action {};
    action.sa_handler = OnTick;
    sigemptyset(&action.sa_mask);
    const itimerval every10ms{{0, 10000}, {0, 10000}};
    if (sigaction(SIGALRM, &action, nullptr) != 0 || setitimer(ITIMER_REAL, &every10ms, nullptr) != 0) {
        return 10;
    }
    int calls = 0;
    posix::UniqueFd writer;
    const posix::UniqueFd fifo = posix::MakeDescriptor([&] {
        if (++calls == 2) {
            // On Linux a FIFO opened for reading and writing waits for no peer.
            writer.Reset(open(gPath.c_str(), O_RDWR | O_CLOEXEC));
        }
        return open(gPath.c_str(), O_RDONLY | O_CLOEXEC);
    });
    const itimerval off{};
    setitimer(ITIMER_REAL, &off, nullptr);
    return !fifo ? 20 : calls < 2 ? 21 : !writer ? 22 : gTicks == 0 ? 23 : 0;
}

// With 0, 1 and 2 closed, each call would get 0 or 1.
int MakeWithStandardDescriptorsClosed() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        close(fd);
    }
    const posix::UniqueFd created =
        posix::MakeDescriptor(open, gPath.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (!created || created.Get() <= STDERR_FILENO || !IsCloseOnExec(created.Get())) {
        return 30;
    }
    // The file the call created, not one looked up again.
    struct stat byDescriptor {};
    struct stat byName {};
    if (fstat(created.Get(), &byDescriptor) != 0 || stat(gPath.c_str(), &byName) != 0 ||
        byDescriptor.st_ino != byName.st_ino) {
        return 31;
    }
    const posix::UniqueFd endpoint = posix::MakeDescriptor(socket, AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    posix::UniqueFd readEnd;
    posix::UniqueFd writeEnd;
    if (!endpoint || endpoint.Get() <= STDERR_FILENO || !posix::MakePipe(0, readEnd, writeEnd) ||
        readEnd.Get() <= STDERR_FILENO || writeEnd.Get() <= STDERR_FILENO || !IsCloseOnExec(readEnd.Get()) ||
        !IsCloseOnExec(writeEnd.Get())) {
        return 32;
    }
    // The low numbers were given back, none kept open.
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (!IsClosed(fd)) {
            return 33;
        }
    }
    return 0;
}

// Standard output alone closed, then all three.
int OpenStandardDescriptorsWhereClosed() {
    struct stat input {};
    struct stat error {};
    if (close(STDOUT_FILENO) != 0 || fstat(STDIN_FILENO, &input) != 0 || fstat(STDERR_FILENO, &error) != 0) {
        return 40;
    }
    posix::OpenStandardDescriptors();
    struct stat inputAfter {};
    struct stat errorAfter {};
    if (!IsNullOpenForReadAndWrite(STDOUT_FILENO) || IsCloseOnExec(STDOUT_FILENO) ||
        fstat(STDIN_FILENO, &inputAfter) != 0 || fstat(STDERR_FILENO, &errorAfter) != 0 ||
        inputAfter.st_ino != input.st_ino || errorAfter.st_ino != error.st_ino) {
        return 41;
    }
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        close(fd);
    }
    posix::OpenStandardDescriptors();
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (!IsNullOpenForReadAndWrite(fd) || IsCloseOnExec(fd)) {
            return 42;
        }
    }
    return 0;
}

class DescriptorPosixTest : public ::testing::Test {
protected:
    test::TempDir dir;
};

TEST_F(DescriptorPosixTest, AnInterruptedCallIsMadeAgain) {
    gPath = (dir.FsPath() / "fifo").string();
    ASSERT_EQ(mkfifo(gPath.c_str(), 0600), 0);
    EXPECT_EQ(test::InForkedProcess(&OpenInterruptedFifo), 0);
}

TEST_F(DescriptorPosixTest, WhatIsMadeIsCloseOnExecAndAFailureIsTheCalls) {
    // None of these calls asks for close-on-exec.
    const posix::UniqueFd opened = posix::MakeDescriptor(open, "/dev/null", O_RDONLY);
    const posix::UniqueFd duplicated = posix::MakeDescriptor(fcntl, opened.Get(), F_DUPFD, 0);
    const posix::UniqueFd endpoint = posix::MakeDescriptor(socket, AF_UNIX, SOCK_SEQPACKET, 0);
    posix::UniqueFd readEnd;
    posix::UniqueFd writeEnd;
    ASSERT_TRUE(posix::MakePipe(O_NONBLOCK, readEnd, writeEnd));
    // An empty result is not close-on-exec either.
    for (const int made : {opened.Get(), duplicated.Get(), endpoint.Get(), readEnd.Get(), writeEnd.Get()}) {
        EXPECT_TRUE(IsCloseOnExec(made)) << made;
    }
    EXPECT_NE(fcntl(readEnd.Get(), F_GETFL) & O_NONBLOCK, 0);

    errno = 0;
    EXPECT_FALSE(posix::MakeDescriptor(open, (dir.FsPath() / "missing").c_str(), O_RDONLY));
    EXPECT_EQ(errno, ENOENT);
}

TEST_F(DescriptorPosixTest, NothingMadeIsAStandardDescriptor) {
    gPath = (dir.FsPath() / "created").string();
    EXPECT_EQ(test::InForkedProcess(&MakeWithStandardDescriptorsClosed), 0);
}

TEST_F(DescriptorPosixTest, TheStartOpensClosedStandardDescriptorsOnNull) {
    EXPECT_EQ(test::InForkedProcess(&OpenStandardDescriptorsWhereClosed), 0);
}

} // namespace
} // namespace ZEPMaintenance
