#include "update/rollback.h"

#include "launcher/diagnostics.h"
#include "launcher/folder_listing.h"
#include "launcher/show_message.h"
#include "update/file_removal.h"
#include "update/held_file_wait.h"
#include "update/move_file.h"
#include "update/rollback_store.h"

#include <boost/filesystem/operations.hpp>

#include <stdexcept>
#include <unordered_set>

namespace fs = boost::filesystem;

namespace {

bool standing(const fs::path& path)
{
    boost::system::error_code ignored;
    return fs::exists(fs::symlink_status(path, ignored));
}

void restoreBackup(const fs::path& backup, const fs::path& destination, HeldFileWait& wait)
{
    writeDiagnosticLine("rollbacking " + backup.string() + " into " + destination.string());
    wait.run([&] { removeFileName(destination); });
    wait.run([&] { moveFile(backup, destination, partialRestorePath(destination)); });
}

// A folder standing at an added file's target was never the installation's: only files and links are.
void removeAddedFile(const fs::path& target, HeldFileWait& wait)
{
    boost::system::error_code missing;
    if (!fs::is_directory(fs::symlink_status(target, missing)))
        wait.run([&] { removeFileName(target); });
}

// Backups in the rollback folder, every file or link below it.
std::vector<fs::path> standingBackups(const fs::path& rollbackFolder)
{
    if (!fs::is_directory(fs::symlink_status(rollbackFolder)))
        return {};
    return *listFolderEntries(rollbackFolder, true, false);
}

}

void rollbackUpdate(const fs::path& installFolder, const fs::path& rollbackFolder, const InstallationRecord& record,
                   bool interrupted)
{
    int failures = 0;
    HeldFileWait wait;
    std::unordered_set<fs::path::string_type> tried;
    for (auto step = record.steps.rbegin(); step != record.steps.rend(); ++step) {
        const fs::path destination = applyAsarRule(installFolder / step->relative);
        const fs::path backup = rollbackFolder / step->relative;
        wait.nextFile();
        try {
            if (step->kind == InstallStep::Kind::add) {
                if (interrupted || !step->written)
                    removeAddedFile(destination, wait);
            } else if (standing(backup) && tried.insert(backup.native()).second) {
                restoreBackup(backup, destination, wait);
            }
        } catch (...) {
            ++failures;
        }
    }
    for (const fs::path& backup : standingBackups(rollbackFolder)) {
        if (tried.count(backup.native()))
            continue;
        wait.nextFile();
        try {
            restoreBackup(backup, applyAsarRule(rebasePath(backup, rollbackFolder, installFolder)), wait);
        } catch (...) {
            ++failures;
        }
    }
    if (failures > 0)
        showMessage("There was an error while rollbacking a failed update. You may need to reinstall "
                    "the application.");
}

bool undoInstallation(const fs::path& installFolder, const fs::path& rollbackFolder, const InstallationRecord& record,
                      bool interrupted)
{
    rollbackUpdate(installFolder, rollbackFolder, record, interrupted);
    // Backups that could not be moved back are the only copy of the user's files: keep them, with
    // the record, for a later run to move back.
    if (!standingBackups(rollbackFolder).empty()) {
        writeDiagnosticLine("keeping rollback folder " + rollbackFolder.string());
        return false;
    }
    deleteRollbackFolder(rollbackFolder);
    boost::system::error_code ignored;
    fs::remove(journalPath(rollbackFolder), ignored);
    return true;
}

void recoverInterruptedUpdates(const fs::path& installFolder)
{
    const fs::path store = rollbackStorePath(installFolder);
    boost::system::error_code error;
    if (!fs::is_directory(fs::status(store, error)))
        return;

    std::vector<fs::path> journals;
    for (fs::directory_iterator it(store), end; it != end; ++it)
        if (it->path().extension() == ".journal" && fs::is_regular_file(it->symlink_status()))
            journals.push_back(it->path());

    for (const fs::path& journal : journals) {
        const fs::path rollbackFolder = fs::path(journal).replace_extension();
        // A copy across volumes cut short, never a backup.
        fs::remove(partialBackupPath(rollbackFolder), error);
        const InstallationRecord record = readJournal(journal);
        if (!record.complete) {
            // Installing over an installation that is still half undone would mix the two for good.
            if (!undoInstallation(installFolder, rollbackFolder, record, true))
                throw std::runtime_error("an interrupted update could not be undone; its backups stay in " +
                                         rollbackFolder.string());
            continue;
        }
        // A running program's old image, for one, could not be deleted while it ran.
        deleteRollbackFolder(rollbackFolder);
        if (!standing(rollbackFolder))
            fs::remove(journal, error);
    }
}
