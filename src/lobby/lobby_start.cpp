#include "lobby/lobby_start.h"

#include "launcher/diagnostics.h"
#include "launcher/install_folder.h"
#include "lobby/site_settings.h"
#include "lobby/start_detached.h"

#include <boost/filesystem/operations.hpp>
#include <boost/process/exception.hpp>
#include <boost/system/system_error.hpp>

#include <sstream>
#include <stdexcept>

namespace fs = boost::filesystem;

namespace {

// The path as it writes itself to a stream: in double quotes, with '&' escaping '"' and '&'.
std::string quoted(const fs::path& path)
{
    std::ostringstream text;
    text << path;
    return text.str();
}

template <class ErrorCode>
[[noreturn]] void raiseStartError(const ErrorCode& code)
{
    std::ostringstream text;
    text << "Error running lobby: " << code;
    throw std::runtime_error(text.str());
}

}

fs::path lobbyPath()
{
    return installFolder() / "Lobby.exe";
}

std::vector<NativeString> lobbyArguments(const fs::path& installFolder, const std::string& siteEnv)
{
    std::vector<NativeString> arguments{fs::path("launcher='launcher'").native(),
                                        fs::path("--storageFolder").native(), installFolder.native()};
    if (!siteEnv.empty()) {
        arguments.push_back(fs::path("--siteenv").native());
        arguments.push_back(fs::path(siteEnv).native());
    }
    return arguments;
}

void startLobby()
{
    const fs::path folder = installFolder();
    writeDiagnosticLine("storageFolder: " + folder.string());

    const std::string siteEnv = readSiteEnv();
    writeDiagnosticLine(siteEnv.empty() ? "siteenv: (empty)" : "siteenv: " + siteEnv);

    const fs::path program = lobbyPath();
    writeDiagnosticLine("searching for lobby " + quoted(program));
    if (!fs::exists(fs::status(program)))
        throw std::runtime_error(quoted(program) + " not found");

    // A command line cannot carry a NUL byte: the name would reach the Lobby cut short.
    if (siteEnv.find('\0') != std::string::npos)
        throw std::runtime_error("Error running lobby: the site environment name in " +
                                 quoted(folder / "server.dat") + " holds a NUL byte");
    try {
        startDetached(program, lobbyArguments(folder, siteEnv));
    } catch (const boost::process::process_error& e) {
        raiseStartError(e.code());
    } catch (const boost::system::system_error& e) {
        raiseStartError(e.code());
    }
}
