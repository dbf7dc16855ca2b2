#include "launcher/flags.h"
#include "launcher/launch_sequence.h"

#include <fcntl.h>

#include <cerrno>
#include <csignal>

namespace {

// Whoever starts the Launcher may leave a standard stream closed; the next file it opens, the lock
// file included, would take that number and receive what is written to the stream. Each open
// takes the lowest free number: the closed one, since the lower ones are open by then.
void openClosedStandardStreams()
{
    for (int fd = 0; fd <= 2; ++fd)
        if (::fcntl(fd, F_GETFD) == -1 && errno == EBADF)
            ::open("/dev/null", O_RDWR);
}

}

int main(int argc, char** argv)
{
    openClosedStandardStreams();
    // A reader of standard output that has gone must not end the Launcher half-way through an
    // update: the write fails instead, and diagnostic lines ignore that. The Lobby is started with
    // the signal's default action back.
    std::signal(SIGPIPE, SIG_IGN);
    const bool restart = hasFlag("--restart", argc, argv, nullptr);
    const bool kill = hasFlag("--kill", argc, argv, nullptr);
    return runLaunchSequence(restart, kill);
}
