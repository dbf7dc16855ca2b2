#include "lobby/kill_lobby_processes.h"

#include "launcher/diagnostics.h"
#include "lobby/lobby_start.h"

#include <boost/filesystem/operations.hpp>

#include <signal.h>
#include <unistd.h>

#include <string>

namespace fs = boost::filesystem;

namespace {

bool isProcessId(const std::string& name)
{
    return !name.empty() && name.find_first_not_of("0123456789") == std::string::npos;
}

}

int killLobbyProcesses()
{
    writeDiagnosticLine("killing lobby processes");

    boost::system::error_code error;
    fs::directory_iterator it("/proc", error);
    if (error)
        return 0;

    const fs::path lobby = fs::absolute(lobbyPath(), fs::current_path());
    const pid_t self = ::getpid();
    int count = 0;
    for (fs::directory_iterator end; it != end; it.increment(error)) {
        if (error)
            break;
        const std::string name = it->path().filename().string();
        if (!isProcessId(name))
            continue;
        // Processes of other users, and those that ended meanwhile, cannot be read: skipped.
        boost::system::error_code unreadable;
        const fs::path executable = fs::read_symlink(it->path() / "exe", unreadable);
        if (unreadable || executable != lobby)
            continue;
        const pid_t pid = static_cast<pid_t>(std::stol(name));
        if (pid == self)
            continue;
        if (::kill(pid, SIGKILL) == 0)
            ++count;
    }
    return count;
}
