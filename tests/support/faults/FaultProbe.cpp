// The program the fault-injection tests run under the library: known sequences of file-system calls, and
// a small update of a folder with a backup and its rollback for the crash-matrix driver to break.
//
//   calls DIR                 a fixed sequence of counted and uncounted calls in DIR; prints one line per
//                             step: its name and "ok" or the errno name it failed with
//   every DIR                 each function the library wraps, once, on objects in DIR made beforehand
//                             by raw system calls; one line per call, named as the library lists it
//   threads DIR N M           N threads, each writing M times to a file of its own
//   children DIR              writes DIR/parent, then a forked child writes DIR/forked and a spawned
//                             copy of this program writes DIR/spawned
//   touch FILE                creates FILE
//   update PRODUCT            updates the flat folder PRODUCT (a: new content, b: deleted, e: added, c:
//                             mode 0700), first backing it up into PRODUCT.backup; exits 1 at the first
//                             failing call and leaves the rest to the rollback
//   rollback PRODUCT [--wrong] restores PRODUCT from PRODUCT.backup if an update left one; --wrong
//                             forgets the files the update added
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <map>
#include <set>
#include <spawn.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <thread>
#include <unistd.h>
#include <utime.h>
#include <vector>

extern char** environ;

// The fortified opens, which <fcntl.h> declares only under _FORTIFY_SOURCE.
extern "C" {
int __open_2(const char* path, int flags);
int __open64_2(const char* path, int flags);
int __openat_2(int dirfd, const char* path, int flags);
int __openat64_2(int dirfd, const char* path, int flags);
}

namespace {

int Fail(const char* what) {
    std::fprintf(stderr, "zep_fault_probe: %s: %s\n", what, std::strerror(errno));
    return 1;
}

// Prints how one step of "calls" ended: "ok", the errno name it failed with, or "short" for a failure
// that set no errno (a short read, a step skipped for want of an earlier one). errno is cleared for the
// next step, so no step reports an earlier one's error.
void Step(const char* name, bool ok) {
    std::printf("%s: %s\n", name, ok ? "ok" : errno != 0 ? strerrorname_np(errno) : "short");
    errno = 0;
}

int Calls(const std::string& dir) {
    const std::string a = dir + "/a";
    int fd = open(a.c_str(), O_CREAT | O_WRONLY | O_TRUNC | O_CLOEXEC, 0644);
    Step("open a", fd >= 0);
    Step("write a", write(fd, "hello", 5) == 5);
    // Not counted: the standard streams, a pipe, a device, a read-only open, reading.
    Step("write stderr", write(2, "", 0) == 0);
    int pipeFds[2];
    Step("pipe", pipe2(pipeFds, O_CLOEXEC) == 0);
    Step("write pipe", write(pipeFds[1], "x", 1) == 1);
    close(pipeFds[0]);
    close(pipeFds[1]);
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    Step("write /dev/null", null >= 0 && write(null, "x", 1) == 1);
    close(null);
    Step("fsync a", fsync(fd) == 0);
    close(fd);
    char buffer[8];
    fd = open(a.c_str(), O_RDONLY | O_CLOEXEC);
    Step("read a", fd >= 0 && read(fd, buffer, sizeof buffer) == 5);
    close(fd);

    const std::string b = dir + "/b";
    Step("rename a b", rename(a.c_str(), b.c_str()) == 0);
    Step("mkdir d", mkdir((dir + "/d").c_str(), 0755) == 0);
    const int folder = open((dir + "/d").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    Step("symlinkat d/l", symlinkat("../b", folder, "l") == 0);
    Step("chmod b", chmod(b.c_str(), 0600) == 0);
    fd = openat(folder, "c", O_CREAT | O_RDWR | O_EXCL | O_CLOEXEC, 0644);
    Step("openat d/c", fd >= 0);
    Step("pwrite d/c", pwrite(fd, "abc", 3, 10) == 3);
    iovec pieces[2] = {{const_cast<char*>("de"), 2}, {const_cast<char*>("f"), 1}};
    Step("writev d/c", writev(fd, pieces, 2) == 3);
    Step("ftruncate d/c", ftruncate(fd, 4) == 0);
    Step("fchmod d/c", fchmod(fd, 0640) == 0);
    Step("fchown d/c", fchown(fd, getuid(), getgid()) == 0);
    const int source = open(b.c_str(), O_RDONLY | O_CLOEXEC);
    Step("copy_file_range b d/c", copy_file_range(source, nullptr, fd, nullptr, 5, 0) == 5);
    close(source);
    close(fd);
    Step("fsync d", fsync(folder) == 0);
    Step("link b d/h", link(b.c_str(), (dir + "/d/h").c_str()) == 0);
    FILE* stream = std::fopen((dir + "/s").c_str(), "w");
    Step("fopen s", stream != nullptr);
    Step("fputs s", stream && std::fputs("stream", stream) >= 0 && std::fclose(stream) == 0);
    Step("unlinkat d/h", unlinkat(folder, "h", 0) == 0);
    Step("unlink d/l", unlink((dir + "/d/l").c_str()) == 0);
    Step("unlinkat d/c", unlinkat(folder, "c", 0) == 0);
    close(folder);
    Step("rmdir d", rmdir((dir + "/d").c_str()) == 0);
    // A call that succeeds leaves errno as it was, whatever the library looked up before it.
    errno = EDOM;
    fd = open((dir + "/e").c_str(), O_CREAT | O_WRONLY | O_EXCL | O_CLOEXEC, 0644);
    Step("open e keeps errno", fd >= 0 && errno == EDOM);
    close(fd);
    return 0;
}

// A descriptor made by a raw system call, which the library does not see.
int RawOpenAt(int folder, const char* name, int flags) {
    return static_cast<int>(syscall(SYS_openat, folder, name, flags | O_CLOEXEC, 0644));
}

int Every(const std::string& dir) {
    const int folder = RawOpenAt(AT_FDCWD, dir.c_str(), O_RDONLY | O_DIRECTORY);
    const int fd = RawOpenAt(folder, "file", O_CREAT | O_RDWR);
    const int source = RawOpenAt(folder, "source", O_CREAT | O_RDWR);
    int pipeFds[2];
    if (folder < 0 || fd < 0 || source < 0 || pipe2(pipeFds, O_CLOEXEC) != 0 ||
        syscall(SYS_write, source, "0123456789", 10) != 10 ||
        syscall(SYS_write, pipeFds[1], "pipe", 4) != 4) {
        return Fail("preparing");
    }
    const auto path = [&](const char* name) { return dir + "/" + name; };
    const auto opened = [](int result) {
        const bool ok = result >= 0;
        if (ok) {
            close(result);
        }
        return ok;
    };
    const auto stream = [](FILE* result) { return result != nullptr && std::fclose(result) == 0; };
    const auto posix = [](int result) {
        errno = result;
        return result == 0;
    };
    char data[] = "data";
    iovec pieces[1] = {{data, 4}};
    const timespec times[2] = {{0, UTIME_NOW}, {0, UTIME_NOW}};
    const timeval microseconds[2] = {{1, 0}, {1, 0}};
    const utimbuf seconds = {1, 1};
    int flags = 0;
    file_clone_range range = {source, 0, 0, 0};

    Step("open", opened(open(path("o1").c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644)));
    Step("open64", opened(open64(path("o2").c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644)));
    Step("openat", opened(openat(folder, "o3", O_CREAT | O_WRONLY | O_CLOEXEC, 0644)));
    Step("openat64", opened(openat64(folder, "o4", O_CREAT | O_WRONLY | O_CLOEXEC, 0644)));
    Step("__open_2", opened(__open_2(path("file").c_str(), O_WRONLY | O_CLOEXEC)));
    Step("__open64_2", opened(__open64_2(path("file").c_str(), O_WRONLY | O_CLOEXEC)));
    Step("__openat_2", opened(__openat_2(folder, "file", O_WRONLY | O_CLOEXEC)));
    Step("__openat64_2", opened(__openat64_2(folder, "file", O_WRONLY | O_CLOEXEC)));
    Step("creat", opened(creat(path("c1").c_str(), 0644)));
    Step("creat64", opened(creat64(path("c2").c_str(), 0644)));
    Step("fopen", stream(std::fopen(path("s1").c_str(), "w")));
    Step("fopen64", stream(fopen64(path("s2").c_str(), "a")));
    Step("freopen", stream(freopen(path("s3").c_str(), "w", std::fopen("/dev/null", "r"))));
    Step("freopen64", stream(freopen64(path("s4").c_str(), "w+", std::fopen("/dev/null", "r"))));
    std::string pattern = path("tXXXXXX");
    Step("mkstemp", opened(mkstemp(pattern.data())));
    pattern = path("tXXXXXX");
    Step("mkstemp64", opened(mkstemp64(pattern.data())));
    pattern = path("tXXXXXX");
    Step("mkostemp", opened(mkostemp(pattern.data(), O_CLOEXEC)));
    pattern = path("tXXXXXX");
    Step("mkostemp64", opened(mkostemp64(pattern.data(), O_CLOEXEC)));

    Step("write", write(fd, data, 4) == 4);
    Step("pwrite", pwrite(fd, data, 4, 4) == 4);
    Step("pwrite64", pwrite64(fd, data, 4, 8) == 4);
    Step("writev", writev(fd, pieces, 1) == 4);
    Step("pwritev", pwritev(fd, pieces, 1, 16) == 4);
    Step("pwritev64", pwritev64(fd, pieces, 1, 20) == 4);
    Step("pwritev2", pwritev2(fd, pieces, 1, 24, 0) == 4);
    Step("pwritev64v2", pwritev64v2(fd, pieces, 1, 28, 0) == 4);
    off64_t from = 0;
    Step("copy_file_range", copy_file_range(source, &from, fd, nullptr, 2, 0) == 2);
    off_t offset = 0;
    Step("sendfile", sendfile(fd, source, &offset, 2) == 2);
    off64_t offset64 = 0;
    Step("sendfile64", sendfile64(fd, source, &offset64, 2) == 2);
    Step("splice", splice(pipeFds[0], nullptr, fd, nullptr, 4, 0) == 4);
    Step("ftruncate", ftruncate(fd, 64) == 0);
    Step("ftruncate64", ftruncate64(fd, 60) == 0);
    Step("truncate", truncate(path("file").c_str(), 56) == 0);
    Step("truncate64", truncate64(path("file").c_str(), 52) == 0);
    Step("fallocate", fallocate(fd, 0, 0, 64) == 0);
    Step("fallocate64", fallocate64(fd, 0, 0, 64) == 0);
    Step("posix_fallocate", posix(posix_fallocate(fd, 0, 64)));
    Step("posix_fallocate64", posix(posix_fallocate64(fd, 0, 64)));
    Step("fsync", fsync(fd) == 0);
    Step("fdatasync", fdatasync(fd) == 0);
    Step("sync_file_range", sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE) == 0);
    Step("syncfs", syncfs(fd) == 0);
    Step("ioctl(FICLONE)", ioctl(fd, FICLONE, source) == 0);
    Step("ioctl(FICLONERANGE)", ioctl(fd, FICLONERANGE, &range) == 0);
    Step("ioctl(FS_IOC_SETFLAGS)", ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0);

    Step("rename", rename(path("o1").c_str(), path("r1").c_str()) == 0);
    Step("renameat", renameat(folder, "r1", folder, "r2") == 0);
    Step("renameat2", renameat2(folder, "r2", folder, "r3", RENAME_NOREPLACE) == 0);
    Step("link", link(path("file").c_str(), path("l1").c_str()) == 0);
    Step("linkat", linkat(folder, "file", folder, "l2", 0) == 0);
    Step("symlink", symlink("file", path("y1").c_str()) == 0);
    Step("symlinkat", symlinkat("file", folder, "y2") == 0);
    Step("unlink", unlink(path("l1").c_str()) == 0);
    Step("unlinkat", unlinkat(folder, "l2", 0) == 0);
    Step("remove", remove(path("r3").c_str()) == 0);
    Step("mkdir", mkdir(path("d1").c_str(), 0755) == 0);
    Step("mkdirat", mkdirat(folder, "d2", 0755) == 0);
    Step("rmdir", rmdir(path("d1").c_str()) == 0);
    Step("mknod", mknod(path("n1").c_str(), S_IFREG | 0644, 0) == 0);
    Step("mknodat", mknodat(folder, "n2", S_IFREG | 0644, 0) == 0);
    Step("mkfifo", mkfifo(path("p1").c_str(), 0644) == 0);
    Step("mkfifoat", mkfifoat(folder, "p2", 0644) == 0);

    Step("chmod", chmod(path("file").c_str(), 0640) == 0);
    Step("fchmod", fchmod(fd, 0600) == 0);
    Step("fchmodat", fchmodat(folder, "file", 0644, 0) == 0);
    Step("lchmod", lchmod(path("file").c_str(), 0644) == 0);
    Step("chown", chown(path("file").c_str(), getuid(), getgid()) == 0);
    Step("fchown", fchown(fd, getuid(), getgid()) == 0);
    Step("lchown", lchown(path("y1").c_str(), getuid(), getgid()) == 0);
    Step("fchownat", fchownat(folder, "y2", getuid(), getgid(), AT_SYMLINK_NOFOLLOW) == 0);
    Step("setxattr", setxattr(path("file").c_str(), "user.zep", "1", 1, 0) == 0);
    Step("lsetxattr", lsetxattr(path("file").c_str(), "user.zep", "2", 1, 0) == 0);
    Step("fsetxattr", fsetxattr(fd, "user.zep", "3", 1, 0) == 0);
    Step("removexattr", removexattr(path("file").c_str(), "user.zep") == 0);
    Step("lremovexattr", lremovexattr(path("file").c_str(), "user.zep") == 0);
    Step("fremovexattr", fremovexattr(fd, "user.zep") == 0);
    Step("utimensat", utimensat(folder, "file", times, 0) == 0);
    Step("futimens", futimens(fd, times) == 0);
    Step("utimes", utimes(path("file").c_str(), microseconds) == 0);
    Step("lutimes", lutimes(path("y1").c_str(), microseconds) == 0);
    Step("futimes", futimes(fd, microseconds) == 0);
    Step("utime", utime(path("file").c_str(), &seconds) == 0);
    return 0;
}

int Threads(const std::string& dir, int threads, int writes) {
    std::vector<std::thread> running;
    std::vector<int> failures(static_cast<std::size_t>(threads));
    for (int t = 0; t < threads; ++t) {
        running.emplace_back([&, t] {
            const std::string name = dir + "/thread" + std::to_string(t);
            const int fd = open(name.c_str(), O_CREAT | O_WRONLY | O_TRUNC | O_CLOEXEC, 0644);
            for (int i = 0; i < writes; ++i) {
                failures[static_cast<std::size_t>(t)] += write(fd, "x", 1) != 1;
            }
            close(fd);
        });
    }
    int failed = 0;
    for (int t = 0; t < threads; ++t) {
        running[static_cast<std::size_t>(t)].join();
        failed += failures[static_cast<std::size_t>(t)];
    }
    std::printf("failed writes: %d\n", failed);
    return 0;
}

bool Touch(const std::string& file) {
    const int fd = open(file.c_str(), O_CREAT | O_WRONLY | O_TRUNC | O_CLOEXEC, 0644);
    return fd >= 0 && close(fd) == 0;
}

int Children(const std::string& dir, const char* self) {
    if (!Touch(dir + "/parent")) {
        return Fail("parent");
    }
    const pid_t forked = fork();
    if (forked == 0) {
        _exit(Touch(dir + "/forked") ? 0 : 1);
    }
    int status = 0;
    if (forked < 0 || waitpid(forked, &status, 0) != forked || status != 0) {
        return Fail("forked child");
    }
    const std::string target = dir + "/spawned";
    char* arguments[] = {const_cast<char*>(self), const_cast<char*>("touch"),
                         const_cast<char*>(target.c_str()), nullptr};
    pid_t spawned;
    if (posix_spawn(&spawned, "/proc/self/exe", nullptr, nullptr, arguments, environ) != 0 ||
        waitpid(spawned, &status, 0) != spawned || status != 0) {
        return Fail("spawned child");
    }
    return 0;
}

// ---- The update and its rollback ----

// The regular files of a flat folder: name to mode, content.
struct Entry {
    mode_t mode;
    std::string content;
};

bool ReadFile(const std::string& path, std::string& content) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    content.clear();
    char buffer[4096];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0) {
        content.append(buffer, static_cast<std::size_t>(n));
    }
    close(fd);
    return n == 0;
}

bool List(const std::string& dir, std::set<std::string>& names) {
    DIR* stream = opendir(dir.c_str());
    if (!stream) {
        return false;
    }
    while (const dirent* entry = readdir(stream)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
            names.insert(entry->d_name);
        }
    }
    closedir(stream);
    return true;
}

bool SyncFolder(const std::string& dir) {
    const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const bool synced = fd >= 0 && fsync(fd) == 0;
    if (fd >= 0) {
        close(fd);
    }
    return synced;
}

// Writes content with mode as dir/name: into a new file beside it, synced, then renamed into place.
bool Replace(const std::string& dir, const std::string& name, const std::string& content, mode_t mode) {
    const std::string temporary = dir + "/.new-" + name;
    const int fd = open(temporary.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0600);
    if (fd < 0) {
        return false;
    }
    const bool written = write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size()) &&
                         fchmod(fd, mode) == 0 && fsync(fd) == 0;
    close(fd);
    return written && rename(temporary.c_str(), (dir + "/" + name).c_str()) == 0;
}

bool RemoveFolder(const std::string& dir) {
    std::set<std::string> names;
    if (!List(dir, names)) {
        return errno == ENOENT;
    }
    for (const std::string& name : names) {
        if (unlink((dir + "/" + name).c_str()) != 0) {
            return false;
        }
    }
    return rmdir(dir.c_str()) == 0;
}

bool CopyFolder(const std::string& from, const std::string& to) {
    std::set<std::string> names;
    if (!List(from, names) || mkdir(to.c_str(), 0700) != 0) {
        return false;
    }
    for (const std::string& name : names) {
        std::string content;
        struct stat status;
        if (stat((from + "/" + name).c_str(), &status) != 0 || !ReadFile(from + "/" + name, content) ||
            !Replace(to, name, content, status.st_mode & 07777)) {
            return false;
        }
    }
    return SyncFolder(to);
}

// The backup is complete once it has its name: PRODUCT.backup present means a rollback is due.
int Update(const std::string& product) {
    const std::string backup = product + ".backup";
    if (access(backup.c_str(), F_OK) == 0) {
        std::fprintf(stderr, "zep_fault_probe: a rollback is due first\n");
        return 1;
    }
    if (!RemoveFolder(backup + ".tmp") || !CopyFolder(product, backup + ".tmp") ||
        rename((backup + ".tmp").c_str(), backup.c_str()) != 0) {
        return Fail("backup");
    }
    if (!Replace(product, "a", "alpha, second edition\n", 0644) || unlink((product + "/b").c_str()) != 0 ||
        !Replace(product, "e", "echo\n", 0644) || chmod((product + "/c").c_str(), 0700) != 0 ||
        !SyncFolder(product)) {
        return Fail("update");
    }
    if (rename(backup.c_str(), (backup + ".done").c_str()) != 0 || !RemoveFolder(backup + ".done")) {
        return Fail("clean-up");
    }
    return 0;
}

int Rollback(const std::string& product, bool wrong) {
    const std::string backup = product + ".backup";
    if (!RemoveFolder(backup + ".tmp") || !RemoveFolder(backup + ".done")) {
        return Fail("stale backup");
    }
    std::set<std::string> saved;
    if (!List(backup, saved)) {
        return errno == ENOENT ? 0 : Fail("backup");
    }
    std::set<std::string> present;
    if (!List(product, present)) {
        return Fail("product");
    }
    for (const std::string& name : present) {
        if (!wrong && !saved.count(name) && unlink((product + "/" + name).c_str()) != 0) {
            return Fail("added file");
        }
    }
    for (const std::string& name : saved) {
        std::string content;
        struct stat status;
        if (stat((backup + "/" + name).c_str(), &status) != 0 || !ReadFile(backup + "/" + name, content) ||
            !Replace(product, name, content, status.st_mode & 07777)) {
            return Fail("restore");
        }
    }
    if (!SyncFolder(product) || rename(backup.c_str(), (backup + ".done").c_str()) != 0 ||
        !RemoveFolder(backup + ".done")) {
        return Fail("clean-up");
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "calls" && argc == 3) {
        return Calls(argv[2]);
    }
    if (command == "every" && argc == 3) {
        return Every(argv[2]);
    }
    if (command == "threads" && argc == 5) {
        return Threads(argv[2], std::atoi(argv[3]), std::atoi(argv[4]));
    }
    if (command == "children" && argc == 3) {
        return Children(argv[2], argv[0]);
    }
    if (command == "touch" && argc == 3) {
        return Touch(argv[2]) ? 0 : Fail(argv[2]);
    }
    if (command == "update" && argc == 3) {
        return Update(argv[2]);
    }
    if (command == "rollback" && (argc == 3 || (argc == 4 && std::strcmp(argv[3], "--wrong") == 0))) {
        return Rollback(argv[2], argc == 4);
    }
    std::fprintf(
        stderr, "usage: zep_fault_probe calls DIR | every DIR | threads DIR N M | children DIR | touch FILE |"
                " update PRODUCT | rollback PRODUCT [--wrong]\n");
    return 2;
}
