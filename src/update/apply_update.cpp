#include "update/apply_update.h"

#include "launcher/diagnostics.h"
#include "launcher/install_folder.h"
#include "launcher/long_path.h"
#include "update/delete_now.h"
#include "update/record_format.h"
#include "update/rollback.h"
#include "update/rollback_store.h"
#include "update/steps/steps.h"
#include "update/system/disk_flush.h"
#include "update/system/folder_handles.h"
#include "update/update_plan.h"

#include <boost/filesystem/operations.hpp>

#include <set>

namespace fs = boost::filesystem;

namespace {

// Steps recorded in one write: a killed run can only have begun the steps its record names.
constexpr std::size_t filesPerBatch = 128;

// Flushes the copies the installation made, and the folders it wrote in, each up to the install
// folder, whose entries hold the new names: those of the install tree, which hold the new files,
// and those of the rollback folder, which hold the backups that recovery moves back should the
// completion not reach the disk.
void flushEachPlaced(const fs::path& installFolder, const Installation& installation)
{
    for (const fs::path& copy : installation.copied)
        flushFileToDisk(copy);
    std::set<fs::path> folders{installFolder};
    const auto depth = std::distance(installFolder.begin(), installFolder.end());
    for (const auto* tree : {&installation.installFolders, &installation.rollbackFolders})
        for (const auto& folder : *tree)
            for (fs::path path = folder; std::distance(path.begin(), path.end()) > depth; path = path.parent_path())
                folders.insert(path);
    for (const fs::path& folder : folders)
        flushFolderToDisk(folder);
}

}

void installUpdateFiles(const fs::path& updateFolder, const fs::path& installFolder, Installation& installation)
{
    const std::vector<ListedFile> listed = listUpdateFiles(updateFolder);
    // Steps only place files and links and make folders: no folder is renamed or removed here.
    const FolderHandles folders;
    for (std::size_t first = 0; first < listed.size(); first += filesPerBatch)
        for (const UpdateFile& file : planBatch(listed, first, filesPerBatch, updateFolder, installFolder, installation))
            takeStep(file, installation);
}

void completeInstallation(const fs::path& installFolder, Installation& installation)
{
    try {
        installation.record.flushVolume();
    } catch (const fs::filesystem_error&) {
        // syncfs also reports what other programs' files on the volume failed to write.
        try {
            flushEachPlaced(installFolder, installation);
        } catch (const fs::filesystem_error& e) {
            writeDiagnosticLine("warning: the installation may not have reached the disk: " + std::string(e.what()));
        }
    }
    installation.record.recordComplete();
}

std::optional<CompletedInstallation> applyUpdate(const fs::path& updateFolder, HeldFileWait& wait)
{
    if (!fs::exists(fs::status(updateFolder)))
        return std::nullopt;
    const fs::path install = longPathForm(installFolder());
    const fs::path rollback = newRollbackFolderPath(install);
    if (fs::exists(fs::symlink_status(rollback)))
        deleteRollbackFolder(rollback);
    fs::create_directories(rollback.parent_path());

    std::exception_ptr failure;
    CompletedInstallation completed{rollback, {}, {}};
    {
        Installation installation(install, rollback, wait);
        try {
            installUpdateFiles(updateFolder, install, installation);
        } catch (...) {
            failure = std::current_exception();
            // The adds that stand whole are to stay.
            try {
                installation.record.writePlanned();
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
        completed.backups = std::move(installation.backups);
        completed.folders = std::move(installation.rollbackFoldersInOrder);
    }
    // Undone from the record, closed by now, as a later run would undo it had this one ended here.
    if (failure) {
        undoInstallation(install, rollback, readRecord(recordPath(rollback)), false, wait);
        std::rethrow_exception(failure);
    }
    return completed;
}

// Completion is on record, so a failure or an end here leaves only files to delete, never a
// rollback of the completed installation.
void deleteCompletedInstallation(const CompletedInstallation& installation)
{
    if (deleteRollbackFolder(installation.rollbackFolder, installation.backups, installation.folders))
        deleteNow(recordPath(installation.rollbackFolder));
}
