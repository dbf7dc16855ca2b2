#include "lobby/start_detached.h"

#include "lobby/command_line.h"

// Boost.Process 1.81 uses these without including them.
#include <boost/winapi/handle_info.hpp>

#include <boost/process/args.hpp>
#include <boost/process/child.hpp>
#include <boost/process/exe.hpp>
#include <boost/process/extend.hpp>

namespace {

// Boost.Process quotes arguments without escaping backslashes, so a quote or a trailing
// backslash in an argument would reach the Lobby changed; this puts the properly quoted
// command line in its place just before the process is created.
struct QuotedCommandLine : boost::process::extend::handler {
    std::wstring line;

    template <class Executor>
    void on_setup(Executor& exec) const
    {
        exec.cmd_line = line.c_str();
    }
};

}

void startDetached(const boost::filesystem::path& program, const std::vector<NativeString>& arguments)
{
    QuotedCommandLine commandLine;
    commandLine.line = buildCommandLine(program.native(), arguments);
    boost::process::child child(boost::process::exe = program, boost::process::args = arguments,
                                commandLine);
    child.detach();
}
