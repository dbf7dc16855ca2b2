// Loaded with LD_PRELOAD into the launcher: every rename whose source path matches the shell
// pattern in FAIL_RENAME_FROM fails with EIO; all others go to the C library. EIO and not EXDEV,
// because the launcher answers EXDEV by copying, and the move must fail for good.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fnmatch.h>
#include <stdio.h>
#include <stdlib.h>

static int refused(const char* from)
{
    const char* pattern = getenv("FAIL_RENAME_FROM");
    return pattern && *pattern && from && fnmatch(pattern, from, 0) == 0;
}

int rename(const char* from, const char* to)
{
    if (refused(from)) {
        errno = EIO;
        return -1;
    }
    int (*next)(const char*, const char*) = (int (*)(const char*, const char*))dlsym(RTLD_NEXT, "rename");
    return next(from, to);
}

int renameat(int fromFolder, const char* from, int toFolder, const char* to)
{
    if (refused(from)) {
        errno = EIO;
        return -1;
    }
    int (*next)(int, const char*, int, const char*) =
        (int (*)(int, const char*, int, const char*))dlsym(RTLD_NEXT, "renameat");
    return next(fromFolder, from, toFolder, to);
}

int renameat2(int fromFolder, const char* from, int toFolder, const char* to, unsigned int flags)
{
    if (refused(from)) {
        errno = EIO;
        return -1;
    }
    int (*next)(int, const char*, int, const char*, unsigned int) =
        (int (*)(int, const char*, int, const char*, unsigned int))dlsym(RTLD_NEXT, "renameat2");
    return next(fromFolder, from, toFolder, to, flags);
}
