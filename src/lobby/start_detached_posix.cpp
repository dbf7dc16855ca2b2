#include "lobby/start_detached.h"

#include <boost/process/args.hpp>
#include <boost/process/child.hpp>
#include <boost/process/exe.hpp>
#include <boost/process/extend.hpp>
#include <boost/process/handles.hpp>
#include <boost/process/io.hpp>

#include <unistd.h>

namespace {

// A session of its own, so that the Lobby outlives the terminal or job that started the
// Launcher, as a detached Windows process does.
struct NewSession : boost::process::extend::handler {
    template <class Executor>
    void on_exec_setup(Executor&) const
    {
        ::setsid();
    }
};

}

void startDetached(const boost::filesystem::path& program, const std::vector<NativeString>& arguments)
{
    namespace bp = boost::process;
    // Like a Windows process created without inheritance, the Lobby gets none of the
    // Launcher's open files, its lock included, and no standard streams.
    bp::child child(bp::exe = program, bp::args = arguments, bp::std_in < bp::null,
                    bp::std_out > bp::null, bp::std_err > bp::null, bp::limit_handles, NewSession{});
    child.detach();
}
