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

}

int runLaunchSequence(bool restart, bool kill)
{
    try {
        // Every file below it is named in the form that works at any length.
        const fs::path folder = longPathForm(installFolder());
        const InstanceLock lock(folder / "launcher.lock");
        // One budget for every file the run waits for, whichever step meets it.
        HeldFileWait wait;
        recoverInterruptedUpdates(folder, wait);
        const UpdateScan scan = scanUpdateFolders(folder);
        // Retired updates, left by earlier runs or by this one, are deleted once the Lobby is
        // started: they never delay it.
        std::vector<fs::path> retired = scan.retired;
        const bool updateFound = !scan.newest.empty();

        if (restart || kill || updateFound) {
            endRunningLobbies();
            if (kill) {
                deleteRetiredUpdates(retired);
                return 0;
            }
            if (updateFound) {
                const std::vector<fs::path> older = retireOlderUpdates(folder, scan, wait);
                retired.insert(retired.end(), older.begin(), older.end());
                applyUpdate(updateFolderPath(folder, scan.newest), wait);
                if (const auto installed = retireInstalledUpdate(folder, scan.newest, wait))
                    retired.push_back(*installed);
            }
        }
        writeUpdateTimingLog();
        startLobby();
        deleteRetiredUpdates(retired);
        return 0;
    } catch (const std::exception& e) {
        std::ostringstream text;
        text << "Error: " << e.what();
        showMessage(text.str());
        return -1;
    }
}
