#include "launcher/launch_sequence.h"

#include "launcher/diagnostics.h"
#include "launcher/install_folder.h"
#include "launcher/instance_lock.h"
#include "launcher/long_path.h"
#include "launcher/show_message.h"
#include "launcher/update_folders.h"
#include "lobby/kill_lobby_processes.h"
#include "lobby/lobby_start.h"
#include "update/apply_update.h"
#include "update/held_file_wait.h"
#include "update/rollback.h"
#include "update/timing_log.h"

#include <boost/filesystem/operations.hpp>

#include <chrono>
#include <exception>
#include <optional>
#include <sstream>
#include <thread>

namespace fs = boost::filesystem;

namespace {

constexpr auto settleTime = std::chrono::milliseconds(5000);
constexpr auto passInterval = std::chrono::milliseconds(1000);
constexpr int maxTerminationPasses = 20;

void endRunningLobbies()
{
    writeDiagnosticLine("restart mode / kill mode");
    std::this_thread::sleep_for(settleTime);
    for (int pass = 0; pass < maxTerminationPasses; ++pass) {
        if (killLobbyProcesses() == 0)
            return;
        std::this_thread::sleep_for(passInterval);
    }
}

// What is left to delete once the Lobby has started and the lock is released: nothing that any run
// would still undo or install.
struct Retired {
    std::vector<fs::path> updates;
    std::optional<CompletedInstallation> installation;
};

// Everything but the clean-up, under the lock.
Retired launch(bool restart, bool kill)
{
    // Every file below it is named in the form that works at any length.
    const fs::path folder = longPathForm(installFolder());
    const InstanceLock lock(folder / "launcher.lock");
    // One budget for every file the run waits for, whichever step meets it.
    HeldFileWait wait;
    const UpdateScan scan = scanUpdateFolders(folder);
    Retired retired{scan.retired, std::nullopt};
    const bool updateFound = !scan.newest.empty();

    // A running Lobby may hold the very files an undo or an installation is to move.
    if (restart || kill || updateFound || hasInterruptedUpdate(folder))
        endRunningLobbies();
    try {
        recoverInterruptedUpdates(folder, wait);
    } catch (const std::exception& e) {
        if (!kill)
            throw;
        // The Lobbies are ended, which is what was asked; the next start tries the undo again.
        writeDiagnosticLine("warning: an interrupted update is not undone yet: " + std::string(e.what()));
    }
    if (kill)
        return retired;
    if (updateFound) {
        const std::vector<fs::path> older = retireOlderUpdates(folder, scan, wait);
        retired.updates.insert(retired.updates.end(), older.begin(), older.end());
        retired.installation = applyUpdate(updateFolderPath(folder, scan.newest), wait);
        if (const auto installed = retireInstalledUpdate(folder, scan.newest, wait))
            retired.updates.push_back(*installed);
    }
    writeUpdateTimingLog();
    startLobby();
    return retired;
}

}

int runLaunchSequence(bool restart, bool kill)
{
    Retired retired;
    try {
        retired = launch(restart, kill);
    } catch (const std::exception& e) {
        std::ostringstream text;
        text << "Error: " << e.what();
        showMessage(text.str());
        return -1;
    }
    // Only once the lock is free: a Lobby may start the Launcher again at once. A complete
    // installation's backups and retired updates are no run's any more, so nothing here meets
    // another run's files.
    if (retired.installation)
        deleteCompletedInstallation(*retired.installation);
    deleteRetiredUpdates(retired.updates);
    return 0;
}
