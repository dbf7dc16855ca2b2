/* Preloaded into `wine PROGRAM` by tests/e2e/faults.py: a Windows program's writes, flushes and
 * status queries under Wine are libc calls in its own process, which this library wraps. Only the
 * process that loaded it first (the `wine` command, which becomes the program) is watched, never
 * the programs it starts, and only calls on files below FAULTS_SCOPE count.
 *
 *   FAULTS_LOG    file that takes one line per event: "call NAME PATH" for every call that counts
 *                 (with no fault set), "fired NAME K PATH" for the call that the fault strikes
 *   FAULTS_SCOPE  the folder whose files count
 *   FAULTS_NAME   the call to strike; FAULTS_FROM and FAULTS_TO its numbers among the calls of that
 *                 name that count, FAULTS_ERRNO the error it fails with, or 0 to kill the process
 *   FAULTS_MATCH  newline-separated endings of the paths that count for the fault ("" for any)
 *
 * The names are libc's, with their 64-bit and 64-bit-time variants folded in: write, pwrite64,
 * fsync, fdatasync, fstat (by descriptor), stat, lstat and fstatat (by path). */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <unistd.h>

static ssize_t (*real_write)(int, const void *, size_t);
static pid_t watched;
static long hits;

static ssize_t raw_write(int fd, const void *data, size_t size)
{
    if (!real_write)
        real_write = (ssize_t(*)(int, const void *, size_t))dlsym(RTLD_NEXT, "write");
    return real_write(fd, data, size);
}

/* The first process to load the library takes the log's claim; exec keeps its pid, so the
 * program the `wine` command turns into is the one watched, and the programs it starts are not. */
__attribute__((constructor)) static void claim(void)
{
    const char *log = getenv("FAULTS_LOG");
    char name[PATH_MAX], text[32];
    if (!log || snprintf(name, sizeof name, "%s.pid", log) >= (int)sizeof name)
        return;
    int fd = open(name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd >= 0) {
        int length = snprintf(text, sizeof text, "%ld", (long)getpid());
        raw_write(fd, text, (size_t)length);
        close(fd);
        watched = getpid();
        return;
    }
    fd = open(name, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return;
    ssize_t length = read(fd, text, sizeof text - 1);
    close(fd);
    if (length > 0) {
        text[length] = 0;
        if (atol(text) == (long)getpid())
            watched = getpid();
    }
}

static void note(const char *line)
{
    const char *log = getenv("FAULTS_LOG");
    int fd = open(log, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    raw_write(fd, line, strlen(line));
    close(fd);
}

/* A path as the host names it: Wine reaches files through $WINEPREFIX/dosdevices/<drive>:. */
static int resolve(int dirfd, const char *path, char *out)
{
    char base[PATH_MAX], joined[2 * PATH_MAX];
    if (path[0] == '/') {
        base[0] = 0;
    } else if (dirfd == AT_FDCWD) {
        if (!getcwd(base, sizeof base))
            return 0;
    } else {
        char link[64];
        snprintf(link, sizeof link, "/proc/self/fd/%d", dirfd);
        ssize_t n = readlink(link, base, sizeof base - 1);
        /* Pipes and sockets, such as the program's line to the server, are no files. */
        if (n <= 0 || base[0] != '/')
            return 0;
        base[n] = 0;
    }
    snprintf(joined, sizeof joined, "%s%s%s", base, *base && *path ? "/" : "", path);
    if (realpath(joined, out))
        return 1;
    /* Not there (yet): its folder resolved, its name as it is. */
    char *slash = strrchr(joined, '/');
    char folder[PATH_MAX];
    if (!slash || slash == joined)
        return 0;
    *slash = 0;
    return realpath(joined, folder) && snprintf(out, PATH_MAX, "%s/%s", folder, slash + 1) < PATH_MAX;
}

static int in_scope(const char *path)
{
    const char *scope = getenv("FAULTS_SCOPE");
    size_t length = scope ? strlen(scope) : 0;
    return length && strncmp(path, scope, length) == 0 && (path[length] == '/' || path[length] == 0);
}

static int matches(const char *path)
{
    const char *patterns = getenv("FAULTS_MATCH");
    if (!patterns || !*patterns)
        return 1;
    size_t length = strlen(path);
    for (const char *p = patterns; *p;) {
        const char *end = strchr(p, '\n');
        size_t n = end ? (size_t)(end - p) : strlen(p);
        if (n <= length && strncmp(path + length - n, p, n) == 0)
            return 1;
        if (!end)
            break;
        p = end + 1;
    }
    return 0;
}

/* Whether the call is to fail (its errno set); the process dies here when the fault kills. */
static int strike(const char *name, int dirfd, const char *path)
{
    if (!watched || getpid() != watched)
        return 0;
    char resolved[PATH_MAX], line[PATH_MAX + 128];
    if (!resolve(dirfd, path, resolved) || !in_scope(resolved))
        return 0;
    const char *target = getenv("FAULTS_NAME");
    if (!target || !*target) {
        snprintf(line, sizeof line, "call %s %s\n", name, resolved);
        note(line);
        return 0;
    }
    if (strcmp(target, name) != 0 || !matches(resolved))
        return 0;
    long k = __atomic_add_fetch(&hits, 1, __ATOMIC_SEQ_CST);
    const char *from = getenv("FAULTS_FROM"), *to = getenv("FAULTS_TO");
    if (k < atol(from ? from : "1") || (to && *to && k > atol(to)))
        return 0;
    snprintf(line, sizeof line, "fired %s %ld %s\n", name, k, resolved);
    note(line);
    const char *error = getenv("FAULTS_ERRNO");
    int code = error ? atoi(error) : 0;
    if (code == 0)
        kill(getpid(), SIGKILL);
    errno = code;
    return 1;
}

/* The next definition of a wrapped function: libc's. */
static void *next(const char *name, void **slot)
{
    if (!*slot)
        *slot = dlsym(RTLD_NEXT, name);
    return *slot;
}

ssize_t write(int fd, const void *data, size_t size)
{
    if (strike("write", fd, ""))
        return -1;
    return raw_write(fd, data, size);
}

ssize_t pwrite64(int fd, const void *data, size_t size, off64_t offset)
{
    static void *slot;
    ssize_t (*real)(int, const void *, size_t, off64_t) = next("pwrite64", &slot);
    return strike("pwrite64", fd, "") ? -1 : real(fd, data, size, offset);
}

ssize_t pwrite(int fd, const void *data, size_t size, off_t offset)
{
    static void *slot;
    ssize_t (*real)(int, const void *, size_t, off_t) = next("pwrite", &slot);
    return strike("pwrite64", fd, "") ? -1 : real(fd, data, size, offset);
}

int fsync(int fd)
{
    static void *slot;
    int (*real)(int) = next("fsync", &slot);
    return strike("fsync", fd, "") ? -1 : real(fd);
}

int fdatasync(int fd)
{
    static void *slot;
    int (*real)(int) = next("fdatasync", &slot);
    return strike("fdatasync", fd, "") ? -1 : real(fd);
}

/* The status buffer's layout differs between the variants; it is only passed on. */
#define BY_DESCRIPTOR(symbol)                                                                        \
    int symbol(int fd, void *buffer)                                                                 \
    {                                                                                                \
        static void *slot;                                                                           \
        int (*real)(int, void *) = next(#symbol, &slot);                                             \
        return strike("fstat", fd, "") ? -1 : real(fd, buffer);                                     \
    }
#define BY_PATH(symbol, name)                                                                        \
    int symbol(const char *path, void *buffer)                                                       \
    {                                                                                                \
        static void *slot;                                                                           \
        int (*real)(const char *, void *) = next(#symbol, &slot);                                    \
        return strike(name, AT_FDCWD, path) ? -1 : real(path, buffer);                               \
    }
#define AT_FOLDER(symbol)                                                                            \
    int symbol(int dirfd, const char *path, void *buffer, int flags)                                 \
    {                                                                                                \
        static void *slot;                                                                           \
        int (*real)(int, const char *, void *, int) = next(#symbol, &slot);                          \
        return strike("fstatat", dirfd, path) ? -1 : real(dirfd, path, buffer, flags);               \
    }

BY_DESCRIPTOR(fstat)
BY_DESCRIPTOR(fstat64)
BY_DESCRIPTOR(__fstat64_time64)
BY_PATH(stat, "stat")
BY_PATH(stat64, "stat")
BY_PATH(__stat64_time64, "stat")
BY_PATH(lstat, "lstat")
BY_PATH(lstat64, "lstat")
BY_PATH(__lstat64_time64, "lstat")
AT_FOLDER(fstatat)
AT_FOLDER(fstatat64)
AT_FOLDER(__fstatat64_time64)
