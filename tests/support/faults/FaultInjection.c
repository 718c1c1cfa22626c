/* Fault injection for the Linux crash tests, preloaded into a program: counts its mutating file-system
 * calls and kills it at, or fails with EIO or ENOSPC, the one chosen (docs/fault-injection.md).
 *
 * Written in C: a preloaded library must bring no C++ runtime into the processes it enters, and its
 * definitions must match the C library's declarations they replace. Its own file-system work (status,
 * paths, the list file, the shared counter) goes through raw system calls, so nothing it does passes
 * through its own wrappers or through a sanitizer's interceptors, and it allocates nothing. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/fs.h>
#include <pthread.h>
#include <signal.h>
#include <stdarg.h>
#include <stdatomic.h>
#include <stdbool.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <utime.h>

#define EXPORT __attribute__((visibility("default")))

/* The fortified entry points that <fcntl.h> declares only under _FORTIFY_SOURCE. */
int __open_2(const char* path, int flags);
int __open64_2(const char* path, int flags);
int __openat_2(int dirfd, const char* path, int flags);
int __openat64_2(int dirfd, const char* path, int flags);

/* ---- Raw system calls: the library's own file-system work ---- */

static long RawOpen(const char* path, int flags, mode_t mode) {
    return syscall(SYS_openat, AT_FDCWD, path, flags | O_CLOEXEC, mode);
}
static void RawClose(int fd) {
    syscall(SYS_close, fd);
}
static void RawWriteAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        const long n = syscall(SYS_write, fd, data, size);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;
        }
        data += n;
        size -= (size_t)n;
    }
}
static bool RawStatAt(int dirfd, const char* path, struct stat* status, int flags) {
    return syscall(SYS_newfstatat, dirfd, path, status, flags) == 0;
}
static bool RawFstat(int fd, struct stat* status) {
    return syscall(SYS_fstat, fd, status) == 0;
}

/* Ends the process with a message on standard error: a configuration the library does not understand
 * must not let a test run without the faults it asked for. */
__attribute__((noreturn)) static void Die(const char* what, const char* detail) {
    RawWriteAll(2, "zep_faults: ", 12);
    RawWriteAll(2, what, strlen(what));
    if (detail) {
        RawWriteAll(2, detail, strlen(detail));
    }
    RawWriteAll(2, "\n", 1);
    syscall(SYS_exit_group, 125);
    for (;;) {
    }
}

/* ---- Configuration ---- */

enum Mode { kInert, kList, kKill, kEio, kEnospc };

#define kListSize 4096
#define kPrefixesSize 8192

static struct {
    enum Mode mode;
    uint64_t at;    /* the point that faults, from 1 */
    uint64_t fails; /* how many points fail from there on; 0 = all */
    bool share;     /* children keep the configuration and count on one counter */
    bool filtered;  /* include or exclude prefixes are given */
    char list[kListSize];
    char counter[kListSize];
    char include[kPrefixesSize];
    char exclude[kPrefixesSize];
    char program[NAME_MAX + 1];
} config;

/* Whether this process counts: configured and, with ZEP_FAULT_PROGRAM, the program named. A child made
 * by fork stops counting unless the count is shared, as its numbers would repeat its parent's. */
static atomic_bool counting;
static _Atomic uint64_t localCount;
static _Atomic uint64_t* count = &localCount;
static pthread_once_t loaded = PTHREAD_ONCE_INIT;
static __thread int inside __attribute__((tls_model("initial-exec")));

static const char* const kVariables[] = {"ZEP_FAULT_MODE",    "ZEP_FAULT_AT",      "ZEP_FAULT_FAILS",
                                         "ZEP_FAULT_LIST",    "ZEP_FAULT_PROGRAM", "ZEP_FAULT_CHILDREN",
                                         "ZEP_FAULT_COUNTER", "ZEP_FAULT_INCLUDE", "ZEP_FAULT_EXCLUDE"};
#define kVariableCount (sizeof kVariables / sizeof kVariables[0])

/* The environment is read and changed directly: the program may define getenv and unsetenv itself (a
 * shell does, and its versions do nothing before its main), and would answer for the C library's. */
static char* Variable(const char* name) {
    const size_t length = strlen(name);
    for (char** entry = environ; entry && *entry; ++entry) {
        if (!strncmp(*entry, name, length) && (*entry)[length] == '=') {
            return *entry + length + 1;
        }
    }
    return NULL;
}

static void RemoveVariable(const char* name) {
    const size_t length = strlen(name);
    for (char** entry = environ; entry && *entry;) {
        if (!strncmp(*entry, name, length) && (*entry)[length] == '=') {
            for (char** next = entry; *next; ++next) {
                next[0] = next[1];
            }
        } else {
            ++entry;
        }
    }
}

static void CopyVariable(const char* name, char* out, size_t size) {
    const char* value = Variable(name);
    out[0] = '\0';
    if (!value) {
        return;
    }
    if (strlen(value) >= size) {
        Die("value too long: ", name);
    }
    strcpy(out, value);
}

static uint64_t NumberVariable(const char* name, uint64_t fallback) {
    const char* value = Variable(name);
    if (!value) {
        return fallback;
    }
    uint64_t number = 0;
    if (!*value) {
        Die("not a number: ", name);
    }
    for (const char* c = value; *c; ++c) {
        if (*c < '0' || *c > '9' || number > (UINT64_MAX - 9) / 10) {
            Die("not a number: ", name);
        }
        number = number * 10 + (uint64_t)(*c - '0');
    }
    return number;
}

static void CheckPrefixes(const char* name, const char* prefixes) {
    for (const char* p = prefixes; *p;) {
        if (*p != '/') {
            Die("not an absolute path in ", name);
        }
        const char* end = strchrnul(p, ':');
        p = *end ? end + 1 : end;
    }
}

/* The name of the running executable, from /proc/self/exe. */
static bool ProgramName(char* out, size_t size) {
    char path[PATH_MAX];
    const long length = syscall(SYS_readlinkat, AT_FDCWD, "/proc/self/exe", path, sizeof path - 1);
    if (length <= 0) {
        return false;
    }
    path[length] = '\0';
    const char* slash = strrchr(path, '/');
    const char* name = slash ? slash + 1 : path;
    if (strlen(name) >= size) {
        return false;
    }
    strcpy(out, name);
    return true;
}

static void MapSharedCounter(void) {
    const int fd = (int)RawOpen(config.counter, O_RDWR | O_CREAT, 0600);
    if (fd < 0) {
        Die("cannot open ZEP_FAULT_COUNTER ", config.counter);
    }
    struct stat status;
    if (!RawFstat(fd, &status) || (status.st_size < (off_t)sizeof(uint64_t) &&
                                   syscall(SYS_ftruncate, fd, (off_t)sizeof(uint64_t)) != 0)) {
        Die("cannot size ZEP_FAULT_COUNTER ", config.counter);
    }
    void* shared = mmap(NULL, sizeof(uint64_t), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    RawClose(fd);
    if (shared == MAP_FAILED) {
        Die("cannot map ZEP_FAULT_COUNTER ", config.counter);
    }
    count = (_Atomic uint64_t*)shared;
}

static void StopCountingInForkChild(void) {
    if (!config.share) {
        atomic_store(&counting, false);
    }
}

static void Resolve(int dirfd, const char* path, char* out, size_t size);

static void Load(void) {
    /* A misspelt variable would silently run a test without its fault. */
    for (char** entry = environ; entry && *entry; ++entry) {
        if (strncmp(*entry, "ZEP_FAULT_", 10) != 0) {
            continue;
        }
        const size_t nameLength = strchrnul(*entry, '=') - *entry;
        bool known = false;
        for (size_t i = 0; i < kVariableCount; ++i) {
            known =
                known || (strlen(kVariables[i]) == nameLength && !strncmp(*entry, kVariables[i], nameLength));
        }
        if (!known) {
            Die("unknown variable: ", *entry);
        }
    }
    const char* mode = Variable("ZEP_FAULT_MODE");
    if (!mode) {
        for (size_t i = 1; i < kVariableCount; ++i) {
            if (Variable(kVariables[i])) {
                Die("ZEP_FAULT_MODE is not set, but is ", kVariables[i]);
            }
        }
        return;
    }
    if (!strcmp(mode, "list")) {
        config.mode = kList;
    } else if (!strcmp(mode, "kill")) {
        config.mode = kKill;
    } else if (!strcmp(mode, "eio")) {
        config.mode = kEio;
    } else if (!strcmp(mode, "enospc")) {
        config.mode = kEnospc;
    } else {
        Die("ZEP_FAULT_MODE must be list, kill, eio or enospc, not ", mode);
    }
    config.at = NumberVariable("ZEP_FAULT_AT", 0);
    config.fails = NumberVariable("ZEP_FAULT_FAILS", 1);
    if (config.mode != kList && config.at == 0) {
        Die("ZEP_FAULT_AT must name a point from 1 for mode ", mode);
    }
    if (config.mode == kList && Variable("ZEP_FAULT_AT")) {
        Die("ZEP_FAULT_AT has no meaning in list mode", NULL);
    }
    CopyVariable("ZEP_FAULT_LIST", config.list, sizeof config.list);
    if (config.mode == kList && !config.list[0]) {
        Die("list mode needs ZEP_FAULT_LIST", NULL);
    }
    if (config.list[0] && config.list[0] != '/') {
        /* Opened for each line: a relative name would follow the program's working folder around. */
        char relative[kListSize];
        strcpy(relative, config.list);
        Resolve(AT_FDCWD, relative, config.list, sizeof config.list);
    }
    const char* children = Variable("ZEP_FAULT_CHILDREN");
    if (children && strcmp(children, "none") && strcmp(children, "share")) {
        Die("ZEP_FAULT_CHILDREN must be none or share, not ", children);
    }
    config.share = children && !strcmp(children, "share");
    CopyVariable("ZEP_FAULT_COUNTER", config.counter, sizeof config.counter);
    if (config.share != (config.counter[0] != '\0')) {
        Die("ZEP_FAULT_CHILDREN=share and ZEP_FAULT_COUNTER go together", NULL);
    }
    CopyVariable("ZEP_FAULT_INCLUDE", config.include, sizeof config.include);
    CopyVariable("ZEP_FAULT_EXCLUDE", config.exclude, sizeof config.exclude);
    CheckPrefixes("ZEP_FAULT_INCLUDE", config.include);
    CheckPrefixes("ZEP_FAULT_EXCLUDE", config.exclude);
    config.filtered = config.include[0] || config.exclude[0];
    CopyVariable("ZEP_FAULT_PROGRAM", config.program, sizeof config.program);

    if (config.program[0]) {
        char name[NAME_MAX + 1];
        if (!ProgramName(name, sizeof name) || strcmp(name, config.program) != 0) {
            return;
        }
    }
    if (config.share) {
        MapSharedCounter();
    }
    pthread_atfork(NULL, NULL, StopCountingInForkChild);
    atomic_store(&counting, true);
}

static void EnsureLoaded(void) {
    pthread_once(&loaded, Load);
}

/* Removes this library from LD_PRELOAD, rewriting the variable in place (it only gets shorter). */
static void RemoveFromPreload(void) {
    Dl_info self;
    char* preload = Variable("LD_PRELOAD");
    if (!preload || !dladdr(&config, &self) || !self.dli_fname) {
        return;
    }
    const char* slash = strrchr(self.dli_fname, '/');
    const char* ownName = slash ? slash + 1 : self.dli_fname;
    char* out = preload;
    for (const char* p = preload; *p;) {
        const size_t length = strcspn(p, ": ");
        const char* entryName = p;
        for (size_t i = 0; i < length; ++i) {
            if (p[i] == '/') {
                entryName = p + i + 1;
            }
        }
        const bool own = (size_t)(p + length - entryName) == strlen(ownName) &&
                         !strncmp(entryName, ownName, strlen(ownName));
        if (!own && length > 0) {
            if (out != preload) {
                *out++ = ' ';
            }
            memmove(out, p, length);
            out += length;
        }
        p += length;
        p += *p ? 1 : 0;
    }
    *out = '\0';
    if (out == preload) {
        RemoveVariable("LD_PRELOAD");
    }
}

/* Children run without faults unless the count is shared: the configuration leaves the environment
 * before main, so whatever the program starts, by any means, starts clean. A process that does not
 * count (another program than ZEP_FAULT_PROGRAM) passes everything on. */
__attribute__((constructor)) static void Start(void) {
    EnsureLoaded();
    if (!atomic_load(&counting) || config.share) {
        return;
    }
    for (size_t i = 0; i < kVariableCount; ++i) {
        RemoveVariable(kVariables[i]);
    }
    RemoveFromPreload();
}

/* ---- The next definition of each wrapped function ---- */

static void* NextSymbol(const char* name, _Atomic(void*)* cache) {
    void* next = atomic_load_explicit(cache, memory_order_relaxed);
    if (!next) {
        next = dlsym(RTLD_NEXT, name);
        if (!next) {
            Die("no next definition of ", name);
        }
        atomic_store_explicit(cache, next, memory_order_relaxed);
    }
    return next;
}

/* NEXT(name) gives the definition that the wrapper of name stands in front of (the C library's, or a
 * sanitizer's interceptor preloaded before this library). */
#define DECLARE_NEXT(name)                                                                                   \
    static __typeof__(&name) Next_##name(void) {                                                             \
        static _Atomic(void*) cache;                                                                         \
        void* symbol = NextSymbol(#name, &cache);                                                            \
        __typeof__(&name) function;                                                                          \
        memcpy(&function, &symbol, sizeof function);                                                         \
        return function;                                                                                     \
    }
#define NEXT(name) (Next_##name())

/* ---- Points ---- */

/* Appends text to out[*used..size), escaping what would break a line of the list. */
static void Append(char* out, size_t size, size_t* used, const char* text, bool escape) {
    static const char kHex[] = "0123456789abcdef";
    for (const unsigned char* c = (const unsigned char*)text; *c; ++c) {
        char piece[4];
        size_t length = 1;
        piece[0] = (char)*c;
        if (escape && (*c == '\\' || *c == '\t' || *c == '\n' || *c < 0x20 || *c == 0x7f)) {
            piece[0] = '\\';
            if (*c == '\\' || *c == '\t' || *c == '\n') {
                piece[1] = *c == '\\' ? '\\' : *c == '\t' ? 't' : 'n';
                length = 2;
            } else {
                piece[1] = 'x';
                piece[2] = kHex[*c >> 4];
                piece[3] = kHex[*c & 15];
                length = 4;
            }
        }
        if (*used + length >= size) {
            return;
        }
        memcpy(out + *used, piece, length);
        *used += length;
    }
}

static void AppendNumber(char* out, size_t size, size_t* used, uint64_t number) {
    char digits[24];
    size_t n = sizeof digits - 1;
    digits[n] = '\0';
    do {
        digits[--n] = (char)('0' + number % 10);
        number /= 10;
    } while (number > 0);
    Append(out, size, used, digits + n, false);
}

/* The absolute path of what (dirfd, path) names, as the kernel would find it: a relative path is put
 * below the working folder or the folder dirfd refers to; "..", "." and links are left as they are. An
 * empty path (AT_EMPTY_PATH) or path NULL names dirfd itself. */
static void Resolve(int dirfd, const char* path, char* out, size_t size) {
    out[0] = '\0';
    if (path && path[0] == '/') {
        size_t used = 0;
        Append(out, size, &used, path, false);
        out[used] = '\0';
        return;
    }
    long length;
    if (dirfd == AT_FDCWD) {
        length = syscall(SYS_getcwd, out, size);
        length = length > 0 ? (long)strlen(out) : -1;
    } else {
        char link[32];
        size_t used = 0;
        Append(link, sizeof link, &used, "/proc/self/fd/", false);
        AppendNumber(link, sizeof link, &used, (uint64_t)(unsigned)dirfd);
        link[used] = '\0';
        length = syscall(SYS_readlinkat, AT_FDCWD, link, out, size - 1);
    }
    if (length < 0) {
        memcpy(out, "?", 2);
        length = 1;
    }
    size_t used = (size_t)length;
    out[used] = '\0';
    if (path && *path) {
        if (used == 0 || out[used - 1] != '/') {
            Append(out, size, &used, "/", false);
        }
        Append(out, size, &used, path, false);
    }
    out[used] = '\0';
}

/* Whether path lies at or below one of the ':'-separated prefixes. */
static bool Below(const char* path, const char* prefixes) {
    for (const char* p = prefixes; *p;) {
        const char* end = strchrnul(p, ':');
        size_t length = (size_t)(end - p);
        while (length > 1 && p[length - 1] == '/') {
            --length;
        }
        if (length > 0 && !strncmp(path, p, length) &&
            (path[length] == '\0' || path[length] == '/' || (length == 1 && p[0] == '/'))) {
            return true;
        }
        p = *end ? end + 1 : end;
    }
    return false;
}

static bool InScope(const char* path) {
    return path && path[0] && (!config.include[0] || Below(path, config.include)) &&
           !(config.exclude[0] && Below(path, config.exclude));
}

static const char* ModeName(void) {
    switch (config.mode) {
    case kKill:
        return "kill";
    case kEio:
        return "eio";
    case kEnospc:
        return "enospc";
    default:
        return "";
    }
}

/* Counts one mutating call on the object named path and writes its line; second is the other path of a
 * call that names two (NULL for none), secondIsPath false when it is a link's target, which is listed
 * but changes nothing where it points. Returns 0 for the call to go on, or the errno it is to fail with;
 * in kill mode the chosen call never returns. */
static int Point(const char* call, const char* path, const char* second, bool secondIsPath) {
    if (config.filtered && !InScope(path) && !(secondIsPath && InScope(second))) {
        return 0;
    }
    const uint64_t number = atomic_fetch_add(count, 1) + 1;
    const bool fault =
        config.mode != kList && number >= config.at &&
        (config.mode == kKill ? number == config.at : config.fails == 0 || number - config.at < config.fails);
    if (config.list[0]) {
        char line[kListSize * 2];
        size_t used = 0;
        AppendNumber(line, sizeof line - 16, &used, number);
        Append(line, sizeof line - 16, &used, "\t", false);
        AppendNumber(line, sizeof line - 16, &used, (uint64_t)syscall(SYS_getpid));
        Append(line, sizeof line - 16, &used, "\t", false);
        Append(line, sizeof line - 16, &used, call, false);
        Append(line, sizeof line - 16, &used, "\t", false);
        Append(line, sizeof line - 16, &used, path ? path : "?", true);
        if (second) {
            Append(line, sizeof line - 16, &used, " -> ", false);
            Append(line, sizeof line - 16, &used, second, true);
        }
        if (fault) {
            Append(line, sizeof line, &used, "\t", false);
            Append(line, sizeof line, &used, ModeName(), false);
        }
        Append(line, sizeof line, &used, "\n", false);
        /* Opened for each line: the program may close or reuse any descriptor it did not open. */
        const int fd = (int)RawOpen(config.list, O_WRONLY | O_APPEND | O_CREAT | O_NOCTTY, 0644);
        if (fd < 0) {
            Die("cannot write ZEP_FAULT_LIST ", config.list);
        }
        RawWriteAll(fd, line, used);
        RawClose(fd);
    }
    if (!fault) {
        return 0;
    }
    if (config.mode == kKill) {
        syscall(SYS_kill, syscall(SYS_getpid), SIGKILL);
        for (;;) {
            pause();
        }
    }
    return config.mode == kEio ? EIO : ENOSPC;
}

/* Whether this call is to be looked at: the process counts and the call is not the library's own. */
static bool Counting(void) {
    EnsureLoaded();
    return atomic_load_explicit(&counting, memory_order_relaxed) && !inside;
}

static int PathPoint(const char* call, int dirfd, const char* path) {
    char absolute[PATH_MAX];
    ++inside;
    Resolve(dirfd, path, absolute, sizeof absolute);
    const int error = Point(call, absolute, NULL, false);
    --inside;
    return error;
}

static int TwoPathPoint(const char* call, int dirfd, const char* path, int secondDirfd, const char* second) {
    char absolute[PATH_MAX];
    char secondAbsolute[PATH_MAX];
    ++inside;
    Resolve(dirfd, path, absolute, sizeof absolute);
    Resolve(secondDirfd, second, secondAbsolute, sizeof secondAbsolute);
    const int error = Point(call, absolute, secondAbsolute, true);
    --inside;
    return error;
}

/* A call through a descriptor counts when it refers to a regular file or a folder; the standard
 * descriptors never count, whatever they refer to, nor do pipes, sockets and devices: those are the
 * log's terminal, the GUI pipe and their like, not the product on disk. */
static int FdPoint(const char* call, int fd) {
    struct stat status;
    if (fd <= 2 || !RawFstat(fd, &status) || !(S_ISREG(status.st_mode) || S_ISDIR(status.st_mode))) {
        return 0;
    }
    return PathPoint(call, fd, NULL);
}

/* An open counts when it may create, truncate or open for writing a regular file or a folder (or a new
 * object, with O_CREAT or O_TMPFILE); opening a device, FIFO or socket for writing does not. */
static int OpenPoint(const char* call, int dirfd, const char* path, int flags) {
    if ((flags & O_TMPFILE) != O_TMPFILE) {
        if (!(flags & (O_CREAT | O_WRONLY | O_RDWR | O_TRUNC))) {
            return 0;
        }
        struct stat status;
        if (!path || !RawStatAt(dirfd, path, &status, (flags & O_NOFOLLOW) ? AT_SYMLINK_NOFOLLOW : 0)) {
            if (errno != ENOENT || !(flags & O_CREAT)) {
                return 0;
            }
        } else if (!S_ISREG(status.st_mode) && !S_ISDIR(status.st_mode)) {
            return 0;
        }
    }
    return PathPoint(call, dirfd, path);
}

static mode_t ModeArgument(int flags, va_list arguments) {
    return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? (mode_t)va_arg(arguments, unsigned) : 0;
}

/* Wrappers: each counts its call, then either fails it without side effect or calls through with errno
 * as the caller left it (the bookkeeping's failed look-ups must not show through a call that succeeds). */
#define FAIL_WITH(error, failure)                                                                            \
    do {                                                                                                     \
        errno = (error);                                                                                     \
        return (failure);                                                                                    \
    } while (0)

#define CHECK(point, failure)                                                                                \
    do {                                                                                                     \
        const int saved_ = errno;                                                                            \
        if (Counting()) {                                                                                    \
            const int error_ = (point);                                                                      \
            if (error_) {                                                                                    \
                FAIL_WITH(error_, failure);                                                                  \
            }                                                                                                \
        }                                                                                                    \
        errno = saved_;                                                                                      \
    } while (0)

/* ---- Opening and creating ---- */

DECLARE_NEXT(open)
DECLARE_NEXT(open64)
DECLARE_NEXT(openat)
DECLARE_NEXT(openat64)
DECLARE_NEXT(__open_2)
DECLARE_NEXT(__open64_2)
DECLARE_NEXT(__openat_2)
DECLARE_NEXT(__openat64_2)
DECLARE_NEXT(creat)
DECLARE_NEXT(creat64)
DECLARE_NEXT(fopen)
DECLARE_NEXT(fopen64)
DECLARE_NEXT(freopen)
DECLARE_NEXT(freopen64)
DECLARE_NEXT(mkstemp)
DECLARE_NEXT(mkstemp64)
DECLARE_NEXT(mkostemp)
DECLARE_NEXT(mkostemp64)

EXPORT int open(const char* path, int flags, ...) {
    va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = ModeArgument(flags, arguments);
    va_end(arguments);
    CHECK(OpenPoint("open", AT_FDCWD, path, flags), -1);
    return NEXT(open)(path, flags, mode);
}

EXPORT int open64(const char* path, int flags, ...) {
    va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = ModeArgument(flags, arguments);
    va_end(arguments);
    CHECK(OpenPoint("open64", AT_FDCWD, path, flags), -1);
    return NEXT(open64)(path, flags, mode);
}

EXPORT int openat(int dirfd, const char* path, int flags, ...) {
    va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = ModeArgument(flags, arguments);
    va_end(arguments);
    CHECK(OpenPoint("openat", dirfd, path, flags), -1);
    return NEXT(openat)(dirfd, path, flags, mode);
}

EXPORT int openat64(int dirfd, const char* path, int flags, ...) {
    va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = ModeArgument(flags, arguments);
    va_end(arguments);
    CHECK(OpenPoint("openat64", dirfd, path, flags), -1);
    return NEXT(openat64)(dirfd, path, flags, mode);
}

EXPORT int __open_2(const char* path, int flags) {
    CHECK(OpenPoint("__open_2", AT_FDCWD, path, flags), -1);
    return NEXT(__open_2)(path, flags);
}

EXPORT int __open64_2(const char* path, int flags) {
    CHECK(OpenPoint("__open64_2", AT_FDCWD, path, flags), -1);
    return NEXT(__open64_2)(path, flags);
}

EXPORT int __openat_2(int dirfd, const char* path, int flags) {
    CHECK(OpenPoint("__openat_2", dirfd, path, flags), -1);
    return NEXT(__openat_2)(dirfd, path, flags);
}

EXPORT int __openat64_2(int dirfd, const char* path, int flags) {
    CHECK(OpenPoint("__openat64_2", dirfd, path, flags), -1);
    return NEXT(__openat64_2)(dirfd, path, flags);
}

EXPORT int creat(const char* path, mode_t mode) {
    CHECK(OpenPoint("creat", AT_FDCWD, path, O_CREAT | O_WRONLY | O_TRUNC), -1);
    return NEXT(creat)(path, mode);
}

EXPORT int creat64(const char* path, mode_t mode) {
    CHECK(OpenPoint("creat64", AT_FDCWD, path, O_CREAT | O_WRONLY | O_TRUNC), -1);
    return NEXT(creat64)(path, mode);
}

/* The open flags a stdio mode stands for ("r", "w+", "ax", ...). Only the opening of a stream counts:
 * its buffered writes reach the kernel inside the C library, where no wrapper sees them. */
static int StreamFlags(const char* mode) {
    int flags = 0;
    if (mode[0] == 'w') {
        flags = O_WRONLY | O_CREAT | O_TRUNC;
    } else if (mode[0] == 'a') {
        flags = O_WRONLY | O_CREAT | O_APPEND;
    }
    if (strchr(mode, '+')) {
        flags = (flags & ~O_WRONLY) | O_RDWR;
    }
    return flags;
}

EXPORT FILE* fopen(const char* path, const char* mode) {
    CHECK(OpenPoint("fopen", AT_FDCWD, path, StreamFlags(mode)), NULL);
    return NEXT(fopen)(path, mode);
}

EXPORT FILE* fopen64(const char* path, const char* mode) {
    CHECK(OpenPoint("fopen64", AT_FDCWD, path, StreamFlags(mode)), NULL);
    return NEXT(fopen64)(path, mode);
}

EXPORT FILE* freopen(const char* path, const char* mode, FILE* stream) {
    CHECK(path ? OpenPoint("freopen", AT_FDCWD, path, StreamFlags(mode)) : 0, NULL);
    return NEXT(freopen)(path, mode, stream);
}

EXPORT FILE* freopen64(const char* path, const char* mode, FILE* stream) {
    CHECK(path ? OpenPoint("freopen64", AT_FDCWD, path, StreamFlags(mode)) : 0, NULL);
    return NEXT(freopen64)(path, mode, stream);
}

EXPORT int mkstemp(char* pattern) {
    CHECK(PathPoint("mkstemp", AT_FDCWD, pattern), -1);
    return NEXT(mkstemp)(pattern);
}

EXPORT int mkstemp64(char* pattern) {
    CHECK(PathPoint("mkstemp64", AT_FDCWD, pattern), -1);
    return NEXT(mkstemp64)(pattern);
}

EXPORT int mkostemp(char* pattern, int flags) {
    CHECK(PathPoint("mkostemp", AT_FDCWD, pattern), -1);
    return NEXT(mkostemp)(pattern, flags);
}

EXPORT int mkostemp64(char* pattern, int flags) {
    CHECK(PathPoint("mkostemp64", AT_FDCWD, pattern), -1);
    return NEXT(mkostemp64)(pattern, flags);
}

/* ---- Writing, sizing and syncing through a descriptor ---- */

DECLARE_NEXT(write)
DECLARE_NEXT(pwrite)
DECLARE_NEXT(pwrite64)
DECLARE_NEXT(writev)
DECLARE_NEXT(pwritev)
DECLARE_NEXT(pwritev64)
DECLARE_NEXT(pwritev2)
DECLARE_NEXT(pwritev64v2)
DECLARE_NEXT(copy_file_range)
DECLARE_NEXT(sendfile)
DECLARE_NEXT(sendfile64)
DECLARE_NEXT(splice)
DECLARE_NEXT(ftruncate)
DECLARE_NEXT(ftruncate64)
DECLARE_NEXT(truncate)
DECLARE_NEXT(truncate64)
DECLARE_NEXT(fallocate)
DECLARE_NEXT(fallocate64)
DECLARE_NEXT(posix_fallocate)
DECLARE_NEXT(posix_fallocate64)
DECLARE_NEXT(fsync)
DECLARE_NEXT(fdatasync)
DECLARE_NEXT(sync_file_range)
DECLARE_NEXT(syncfs)
DECLARE_NEXT(ioctl)

EXPORT ssize_t write(int fd, const void* data, size_t size) {
    CHECK(FdPoint("write", fd), -1);
    return NEXT(write)(fd, data, size);
}

EXPORT ssize_t pwrite(int fd, const void* data, size_t size, off_t offset) {
    CHECK(FdPoint("pwrite", fd), -1);
    return NEXT(pwrite)(fd, data, size, offset);
}

EXPORT ssize_t pwrite64(int fd, const void* data, size_t size, off64_t offset) {
    CHECK(FdPoint("pwrite64", fd), -1);
    return NEXT(pwrite64)(fd, data, size, offset);
}

EXPORT ssize_t writev(int fd, const struct iovec* vector, int count) {
    CHECK(FdPoint("writev", fd), -1);
    return NEXT(writev)(fd, vector, count);
}

EXPORT ssize_t pwritev(int fd, const struct iovec* vector, int count, off_t offset) {
    CHECK(FdPoint("pwritev", fd), -1);
    return NEXT(pwritev)(fd, vector, count, offset);
}

EXPORT ssize_t pwritev64(int fd, const struct iovec* vector, int count, off64_t offset) {
    CHECK(FdPoint("pwritev64", fd), -1);
    return NEXT(pwritev64)(fd, vector, count, offset);
}

EXPORT ssize_t pwritev2(int fd, const struct iovec* vector, int count, off_t offset, int flags) {
    CHECK(FdPoint("pwritev2", fd), -1);
    return NEXT(pwritev2)(fd, vector, count, offset, flags);
}

EXPORT ssize_t pwritev64v2(int fd, const struct iovec* vector, int count, off64_t offset, int flags) {
    CHECK(FdPoint("pwritev64v2", fd), -1);
    return NEXT(pwritev64v2)(fd, vector, count, offset, flags);
}

EXPORT ssize_t copy_file_range(int in, off64_t* inOffset, int out, off64_t* outOffset, size_t size,
                               unsigned int flags) {
    CHECK(FdPoint("copy_file_range", out), -1);
    return NEXT(copy_file_range)(in, inOffset, out, outOffset, size, flags);
}

EXPORT ssize_t sendfile(int out, int in, off_t* offset, size_t size) {
    CHECK(FdPoint("sendfile", out), -1);
    return NEXT(sendfile)(out, in, offset, size);
}

EXPORT ssize_t sendfile64(int out, int in, off64_t* offset, size_t size) {
    CHECK(FdPoint("sendfile64", out), -1);
    return NEXT(sendfile64)(out, in, offset, size);
}

EXPORT ssize_t splice(int in, off64_t* inOffset, int out, off64_t* outOffset, size_t size,
                      unsigned int flags) {
    CHECK(FdPoint("splice", out), -1);
    return NEXT(splice)(in, inOffset, out, outOffset, size, flags);
}

EXPORT int ftruncate(int fd, off_t length) {
    CHECK(FdPoint("ftruncate", fd), -1);
    return NEXT(ftruncate)(fd, length);
}

EXPORT int ftruncate64(int fd, off64_t length) {
    CHECK(FdPoint("ftruncate64", fd), -1);
    return NEXT(ftruncate64)(fd, length);
}

EXPORT int truncate(const char* path, off_t length) {
    CHECK(PathPoint("truncate", AT_FDCWD, path), -1);
    return NEXT(truncate)(path, length);
}

EXPORT int truncate64(const char* path, off64_t length) {
    CHECK(PathPoint("truncate64", AT_FDCWD, path), -1);
    return NEXT(truncate64)(path, length);
}

EXPORT int fallocate(int fd, int mode, off_t offset, off_t length) {
    CHECK(FdPoint("fallocate", fd), -1);
    return NEXT(fallocate)(fd, mode, offset, length);
}

EXPORT int fallocate64(int fd, int mode, off64_t offset, off64_t length) {
    CHECK(FdPoint("fallocate64", fd), -1);
    return NEXT(fallocate64)(fd, mode, offset, length);
}

/* posix_fallocate reports its error as its result, not in errno. */
EXPORT int posix_fallocate(int fd, off_t offset, off_t length) {
    const int saved = errno;
    if (Counting()) {
        const int error = FdPoint("posix_fallocate", fd);
        if (error) {
            errno = saved;
            return error;
        }
    }
    errno = saved;
    return NEXT(posix_fallocate)(fd, offset, length);
}

EXPORT int posix_fallocate64(int fd, off64_t offset, off64_t length) {
    const int saved = errno;
    if (Counting()) {
        const int error = FdPoint("posix_fallocate64", fd);
        if (error) {
            errno = saved;
            return error;
        }
    }
    errno = saved;
    return NEXT(posix_fallocate64)(fd, offset, length);
}

EXPORT int fsync(int fd) {
    CHECK(FdPoint("fsync", fd), -1);
    return NEXT(fsync)(fd);
}

EXPORT int fdatasync(int fd) {
    CHECK(FdPoint("fdatasync", fd), -1);
    return NEXT(fdatasync)(fd);
}

EXPORT int sync_file_range(int fd, off64_t offset, off64_t size, unsigned int flags) {
    CHECK(FdPoint("sync_file_range", fd), -1);
    return NEXT(sync_file_range)(fd, offset, size, flags);
}

EXPORT int syncfs(int fd) {
    CHECK(FdPoint("syncfs", fd), -1);
    return NEXT(syncfs)(fd);
}

/* Of the ioctls only those that change a file's content or attributes count: a reflink copy and the
 * inode flags (chattr). */
EXPORT int ioctl(int fd, unsigned long request, ...) {
    va_list arguments;
    va_start(arguments, request);
    void* argument = va_arg(arguments, void*);
    va_end(arguments);
    if (request == FICLONE || request == FICLONERANGE || request == FS_IOC_SETFLAGS) {
        CHECK(FdPoint(request == FICLONE        ? "ioctl(FICLONE)"
                      : request == FICLONERANGE ? "ioctl(FICLONERANGE)"
                                                : "ioctl(FS_IOC_SETFLAGS)",
                      fd),
              -1);
    }
    return NEXT(ioctl)(fd, request, argument);
}

/* ---- Names: renaming, linking, creating and removing ---- */

DECLARE_NEXT(rename)
DECLARE_NEXT(renameat)
DECLARE_NEXT(renameat2)
DECLARE_NEXT(unlink)
DECLARE_NEXT(unlinkat)
DECLARE_NEXT(remove)
DECLARE_NEXT(rmdir)
DECLARE_NEXT(mkdir)
DECLARE_NEXT(mkdirat)
DECLARE_NEXT(link)
DECLARE_NEXT(linkat)
DECLARE_NEXT(symlink)
DECLARE_NEXT(symlinkat)
DECLARE_NEXT(mknod)
DECLARE_NEXT(mknodat)
DECLARE_NEXT(mkfifo)
DECLARE_NEXT(mkfifoat)

EXPORT int rename(const char* from, const char* to) {
    CHECK(TwoPathPoint("rename", AT_FDCWD, from, AT_FDCWD, to), -1);
    return NEXT(rename)(from, to);
}

EXPORT int renameat(int fromDirfd, const char* from, int toDirfd, const char* to) {
    CHECK(TwoPathPoint("renameat", fromDirfd, from, toDirfd, to), -1);
    return NEXT(renameat)(fromDirfd, from, toDirfd, to);
}

EXPORT int renameat2(int fromDirfd, const char* from, int toDirfd, const char* to, unsigned int flags) {
    CHECK(TwoPathPoint("renameat2", fromDirfd, from, toDirfd, to), -1);
    return NEXT(renameat2)(fromDirfd, from, toDirfd, to, flags);
}

EXPORT int unlink(const char* path) {
    CHECK(PathPoint("unlink", AT_FDCWD, path), -1);
    return NEXT(unlink)(path);
}

EXPORT int unlinkat(int dirfd, const char* path, int flags) {
    CHECK(PathPoint("unlinkat", dirfd, path), -1);
    return NEXT(unlinkat)(dirfd, path, flags);
}

EXPORT int remove(const char* path) {
    CHECK(PathPoint("remove", AT_FDCWD, path), -1);
    return NEXT(remove)(path);
}

EXPORT int rmdir(const char* path) {
    CHECK(PathPoint("rmdir", AT_FDCWD, path), -1);
    return NEXT(rmdir)(path);
}

EXPORT int mkdir(const char* path, mode_t mode) {
    CHECK(PathPoint("mkdir", AT_FDCWD, path), -1);
    return NEXT(mkdir)(path, mode);
}

EXPORT int mkdirat(int dirfd, const char* path, mode_t mode) {
    CHECK(PathPoint("mkdirat", dirfd, path), -1);
    return NEXT(mkdirat)(dirfd, path, mode);
}

EXPORT int link(const char* existing, const char* name) {
    CHECK(TwoPathPoint("link", AT_FDCWD, existing, AT_FDCWD, name), -1);
    return NEXT(link)(existing, name);
}

EXPORT int linkat(int existingDirfd, const char* existing, int dirfd, const char* name, int flags) {
    CHECK(TwoPathPoint("linkat", existingDirfd, existing, dirfd, name), -1);
    return NEXT(linkat)(existingDirfd, existing, dirfd, name, flags);
}

/* A symbolic link is listed as "link -> target", its target as written. */
EXPORT int symlink(const char* target, const char* name) {
    const int saved = errno;
    if (Counting()) {
        char absolute[PATH_MAX];
        ++inside;
        Resolve(AT_FDCWD, name, absolute, sizeof absolute);
        const int error = Point("symlink", absolute, target, false);
        --inside;
        if (error) {
            FAIL_WITH(error, -1);
        }
    }
    errno = saved;
    return NEXT(symlink)(target, name);
}

EXPORT int symlinkat(const char* target, int dirfd, const char* name) {
    const int saved = errno;
    if (Counting()) {
        char absolute[PATH_MAX];
        ++inside;
        Resolve(dirfd, name, absolute, sizeof absolute);
        const int error = Point("symlinkat", absolute, target, false);
        --inside;
        if (error) {
            FAIL_WITH(error, -1);
        }
    }
    errno = saved;
    return NEXT(symlinkat)(target, dirfd, name);
}

EXPORT int mknod(const char* path, mode_t mode, dev_t device) {
    CHECK(PathPoint("mknod", AT_FDCWD, path), -1);
    return NEXT(mknod)(path, mode, device);
}

EXPORT int mknodat(int dirfd, const char* path, mode_t mode, dev_t device) {
    CHECK(PathPoint("mknodat", dirfd, path), -1);
    return NEXT(mknodat)(dirfd, path, mode, device);
}

EXPORT int mkfifo(const char* path, mode_t mode) {
    CHECK(PathPoint("mkfifo", AT_FDCWD, path), -1);
    return NEXT(mkfifo)(path, mode);
}

EXPORT int mkfifoat(int dirfd, const char* path, mode_t mode) {
    CHECK(PathPoint("mkfifoat", dirfd, path), -1);
    return NEXT(mkfifoat)(dirfd, path, mode);
}

/* ---- Attributes: mode, owner, extended attributes, times ---- */

DECLARE_NEXT(chmod)
DECLARE_NEXT(fchmod)
DECLARE_NEXT(fchmodat)
DECLARE_NEXT(lchmod)
DECLARE_NEXT(chown)
DECLARE_NEXT(fchown)
DECLARE_NEXT(lchown)
DECLARE_NEXT(fchownat)
DECLARE_NEXT(setxattr)
DECLARE_NEXT(lsetxattr)
DECLARE_NEXT(fsetxattr)
DECLARE_NEXT(removexattr)
DECLARE_NEXT(lremovexattr)
DECLARE_NEXT(fremovexattr)
DECLARE_NEXT(utimensat)
DECLARE_NEXT(futimens)
DECLARE_NEXT(utimes)
DECLARE_NEXT(lutimes)
DECLARE_NEXT(futimes)
DECLARE_NEXT(utime)

EXPORT int chmod(const char* path, mode_t mode) {
    CHECK(PathPoint("chmod", AT_FDCWD, path), -1);
    return NEXT(chmod)(path, mode);
}

EXPORT int fchmod(int fd, mode_t mode) {
    CHECK(FdPoint("fchmod", fd), -1);
    return NEXT(fchmod)(fd, mode);
}

EXPORT int fchmodat(int dirfd, const char* path, mode_t mode, int flags) {
    CHECK(PathPoint("fchmodat", dirfd, path), -1);
    return NEXT(fchmodat)(dirfd, path, mode, flags);
}

EXPORT int lchmod(const char* path, mode_t mode) {
    CHECK(PathPoint("lchmod", AT_FDCWD, path), -1);
    return NEXT(lchmod)(path, mode);
}

EXPORT int chown(const char* path, uid_t owner, gid_t group) {
    CHECK(PathPoint("chown", AT_FDCWD, path), -1);
    return NEXT(chown)(path, owner, group);
}

EXPORT int fchown(int fd, uid_t owner, gid_t group) {
    CHECK(FdPoint("fchown", fd), -1);
    return NEXT(fchown)(fd, owner, group);
}

EXPORT int lchown(const char* path, uid_t owner, gid_t group) {
    CHECK(PathPoint("lchown", AT_FDCWD, path), -1);
    return NEXT(lchown)(path, owner, group);
}

EXPORT int fchownat(int dirfd, const char* path, uid_t owner, gid_t group, int flags) {
    CHECK(PathPoint("fchownat", dirfd, path), -1);
    return NEXT(fchownat)(dirfd, path, owner, group, flags);
}

EXPORT int setxattr(const char* path, const char* name, const void* value, size_t size, int flags) {
    CHECK(PathPoint("setxattr", AT_FDCWD, path), -1);
    return NEXT(setxattr)(path, name, value, size, flags);
}

EXPORT int lsetxattr(const char* path, const char* name, const void* value, size_t size, int flags) {
    CHECK(PathPoint("lsetxattr", AT_FDCWD, path), -1);
    return NEXT(lsetxattr)(path, name, value, size, flags);
}

EXPORT int fsetxattr(int fd, const char* name, const void* value, size_t size, int flags) {
    CHECK(FdPoint("fsetxattr", fd), -1);
    return NEXT(fsetxattr)(fd, name, value, size, flags);
}

EXPORT int removexattr(const char* path, const char* name) {
    CHECK(PathPoint("removexattr", AT_FDCWD, path), -1);
    return NEXT(removexattr)(path, name);
}

EXPORT int lremovexattr(const char* path, const char* name) {
    CHECK(PathPoint("lremovexattr", AT_FDCWD, path), -1);
    return NEXT(lremovexattr)(path, name);
}

EXPORT int fremovexattr(int fd, const char* name) {
    CHECK(FdPoint("fremovexattr", fd), -1);
    return NEXT(fremovexattr)(fd, name);
}

/* Whether a pointer that the C library declares never null is null all the same (the kernel allows a
 * null path to utimensat, which is futimens). */
static bool IsNull(const void* pointer) {
    return pointer == NULL;
}

EXPORT int utimensat(int dirfd, const char* path, const struct timespec times[2], int flags) {
    CHECK(IsNull(path) ? FdPoint("utimensat", dirfd) : PathPoint("utimensat", dirfd, path), -1);
    return NEXT(utimensat)(dirfd, path, times, flags);
}

EXPORT int futimens(int fd, const struct timespec times[2]) {
    CHECK(FdPoint("futimens", fd), -1);
    return NEXT(futimens)(fd, times);
}

EXPORT int utimes(const char* path, const struct timeval times[2]) {
    CHECK(PathPoint("utimes", AT_FDCWD, path), -1);
    return NEXT(utimes)(path, times);
}

EXPORT int lutimes(const char* path, const struct timeval times[2]) {
    CHECK(PathPoint("lutimes", AT_FDCWD, path), -1);
    return NEXT(lutimes)(path, times);
}

EXPORT int futimes(int fd, const struct timeval times[2]) {
    CHECK(FdPoint("futimes", fd), -1);
    return NEXT(futimes)(fd, times);
}

EXPORT int utime(const char* path, const struct utimbuf* times) {
    CHECK(PathPoint("utime", AT_FDCWD, path), -1);
    return NEXT(utime)(path, times);
}
