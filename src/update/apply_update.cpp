#include "update/apply_update.h"

#include "launcher/diagnostics.h"
#include "launcher/install_folder.h"
#include "launcher/long_path.h"
#include "update/disk_flush.h"
#include "update/install_file.h"
#include "update/rollback.h"
#include "update/rollback_store.h"
#include "update/update_plan.h"

#include <boost/filesystem/operations.hpp>

#include <set>

namespace fs = boost::filesystem;

namespace {

// Steps recorded in one write: a killed run can only have begun the steps its record names.
constexpr std::size_t filesPerBatch = 128;

// Flushes the copies the installation made and the folders of the install tree it wrote in, each
// up to the install folder, whose entries hold the new names.
void flushEachPlaced(const fs::path& installFolder, const Installation& installation)
{
    for (const fs::path& copy : installation.copied)
        flushFileToDisk(copy);
    std::set<fs::path> folders{installFolder};
    const auto depth = std::distance(installFolder.begin(), installFolder.end());
    for (const auto& folder : installation.folders)
        for (fs::path path = folder; std::distance(path.begin(), path.end()) > depth; path = path.parent_path())
            folders.insert(path);
    for (const fs::path& folder : folders)
        flushFolderToDisk(folder);
}

}

void installUpdateFiles(const fs::path& updateFolder, const fs::path& installFolder, Installation& installation)
{
    const std::vector<ListedFile> listed = listUpdateFiles(updateFolder);
    for (std::size_t first = 0; first < listed.size(); first += filesPerBatch) {
        for (const UpdateFile& file : planBatch(listed, first, filesPerBatch, updateFolder, installFolder, installation)) {
            if (file.step == Step::skip)
                writeDiagnosticLine("skipping " + file.source.string() + ": " + file.skipReason);
            else
                installFile(file, installation);
        }
    }
}

void completeInstallation(const fs::path& installFolder, Installation& installation)
{
    try {
        installation.journal.flushVolume();
    } catch (const fs::filesystem_error&) {
        // syncfs also reports what other programs' files on the volume failed to write.
        try {
            flushEachPlaced(installFolder, installation);
        } catch (const fs::filesystem_error& e) {
            writeDiagnosticLine("warning: the installation may not have reached the disk: " + std::string(e.what()));
        }
    }
    installation.journal.recordComplete();
}

void applyUpdate(const fs::path& updateFolder, HeldFileWait& wait)
{
    if (!fs::exists(fs::status(updateFolder)))
        return;
    const fs::path install = longPathForm(installFolder());
    const fs::path rollback = newRollbackFolderPath(install);
    if (fs::exists(fs::symlink_status(rollback)))
        deleteRollbackFolder(rollback);
    fs::create_directories(rollback.parent_path());

    std::exception_ptr failure;
    std::vector<fs::path> backups;
    std::vector<fs::path> rollbackFolders;
    {
        Installation installation(install, rollback, wait);
        try {
            installUpdateFiles(updateFolder, install, installation);
        } catch (...) {
            failure = std::current_exception();
            // The adds that stand whole are to stay.
            try {
                installation.journal.writePlanned();
            } catch (...) {
            }
        }
        if (!failure) {
            try {
                completeInstallation(install, installation);
            } catch (...) {
                failure = std::current_exception();
            }
        }
        backups = std::move(installation.backups);
        rollbackFolders = std::move(installation.rollbackFolders);
    }
    // Undone from the record, closed by now, as a later run would undo it had this one ended here.
    if (failure) {
        undoInstallation(install, rollback, readJournal(journalPath(rollback)), false, wait);
        std::rethrow_exception(failure);
    }
    // Completion is on record, so a failure or an end here leaves only files to delete, never a
    // rollback of the completed installation.
    if (deleteRollbackFolder(rollback, backups, rollbackFolders)) {
        boost::system::error_code ignored;
        fs::remove(journalPath(rollback), ignored);
    }
}
