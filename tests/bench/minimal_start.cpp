// The least a program can do to start the Lobby the way the Launcher does: the same argument
// list, no inherited files, a session of its own, and no waiting for it. Timing the Launcher
// against this leaves only what the Launcher adds on top of starting a process. Plain POSIX and
// the C library only, so that the dynamic loader has as little to do as the task allows.
#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: minimal_start LOBBY_PATH\n");
        return 2;
    }
    char* program = argv[1];
    char folder[PATH_MAX];
    const char* slash = std::strrchr(program, '/');
    if (!slash) {
        std::strcpy(folder, ".");
    } else {
        const std::size_t length = slash == program ? 1 : static_cast<std::size_t>(slash - program);
        if (length >= sizeof folder)
            return 2;
        std::memcpy(folder, program, length);
        folder[length] = '\0';
    }
    char launcherArgument[] = "launcher='launcher'";
    char storageFlag[] = "--storageFolder";
    char* arguments[] = {program, launcherArgument, storageFlag, folder, nullptr};

    const pid_t pid = ::fork();
    if (pid < 0) {
        std::perror("fork");
        return 1;
    }
    if (pid == 0) {
        ::setsid();
        const int null = ::open("/dev/null", O_RDWR);
        if (null >= 0) {
            ::dup2(null, 0);
            ::dup2(null, 1);
            ::dup2(null, 2);
            if (null > 2)
                ::close(null);
        }
        ::execv(program, arguments);
        ::_exit(127);
    }
    return 0;
}
