#include "lobby/start_detached.h"

#include <boost/process/args.hpp>
#include <boost/process/child.hpp>
#include <boost/process/exe.hpp>
#include <boost/process/extend.hpp>
#include <boost/process/io.hpp>

#include <fcntl.h>
#include <unistd.h>

#include <csignal>

namespace {

// Like a Windows process created without handle inheritance, the Lobby gets none of the
// Launcher's open files (the lock included): they are all marked close-on-exec, which keeps the
// pipe that reports a failed exec working until the exec. A session of its own lets the Lobby
// outlive the terminal or job that started the Launcher. The Launcher ignores the broken-pipe
// signal for itself only; an ignored signal would stay ignored across the exec.
struct Detached : boost::process::extend::handler {
    template <class Executor>
    void on_exec_setup(Executor&) const
    {
        if (::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) != 0)
            for (int fd = 3; fd < 1024; ++fd)
                ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        ::setsid();
        ::signal(SIGPIPE, SIG_DFL);
    }
};

}

void startDetached(const boost::filesystem::path& program, const std::vector<NativeString>& arguments)
{
    namespace bp = boost::process;
    bp::child child(bp::exe = program, bp::args = arguments, bp::std_in < bp::null, bp::std_out > bp::null,
                    bp::std_err > bp::null, Detached{});
    child.detach();
}
