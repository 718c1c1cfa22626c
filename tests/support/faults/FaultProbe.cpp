// The program the fault-injection tests run under the library: known sequences of file-system calls, and
// a small update of a folder with a backup and its rollback for the crash-matrix driver to break.
//
//   calls DIR                 a fixed sequence of counted and uncounted calls in DIR; prints one line per
//                             step: its name and "ok" or the errno name it failed with
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
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <set>
#include <spawn.h>
#include <string>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

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
    std::fprintf(stderr, "usage: zep_fault_probe calls DIR | threads DIR N M | children DIR | touch FILE |"
                         " update PRODUCT | rollback PRODUCT [--wrong]\n");
    return 2;
}
