#include "update/rollback.h"

#include "launcher/diagnostics.h"
#include "launcher/show_message.h"
#include "update/file_removal.h"
#include "update/held_file_wait.h"
#include "update/move_file.h"
#include "update/rollback_store.h"

#include <boost/filesystem/operations.hpp>

#include <stdexcept>
#include <string>
#include <unordered_set>

namespace fs = boost::filesystem;

namespace {

bool standing(const fs::path& path)
{
    boost::system::error_code ignored;
    return fs::exists(fs::symlink_status(path, ignored));
}

// Removes what is left of a folder without waiting: what another program holds now (the old image
// of a Launcher that still runs) stays for a later run.
void removeLeftovers(const fs::path& folder)
{
    HeldFileWait noWaiting(std::chrono::milliseconds(0));
    try {
        removeFolderTree(folder, noWaiting);
    } catch (const fs::filesystem_error&) {
    }
}

// Where what stands in a backup's way is moved: a fresh folder of the rollback store, made at its
// first use and deleted, as far as it can be, once the undo is over.
class AsideFolder {
public:
    explicit AsideFolder(const fs::path& store) : store_(store) {}
    ~AsideFolder()
    {
        if (!folder_.empty())
            removeLeftovers(folder_);
    }
    AsideFolder(const AsideFolder&) = delete;
    AsideFolder& operator=(const AsideFolder&) = delete;

    fs::path next()
    {
        if (folder_.empty()) {
            const fs::path folder = newAsideFolderPath(store_);
            fs::create_directory(folder);
            folder_ = folder;
        }
        return folder_ / std::to_string(++count_);
    }

private:
    fs::path store_;
    fs::path folder_;
    unsigned count_ = 0;
};

// Moves the file or link at path out of a backup's way, into the store; false when nothing stood
// there, or when it lay on another volume than the store and was removed instead. What stands
// where a backup goes back is the installation's own, written after what the backup holds was
// moved away, and a move that replaces it discards it just the same; removing it also makes room
// on a full volume. A folder was never the installation's: only files and links are.
bool moveAside(const fs::path& path, const fs::path& aside)
{
    boost::system::error_code unknown;
    const fs::file_status status = fs::symlink_status(path, unknown);
    if (!fs::exists(status))
        return false;
    if (fs::is_directory(status))
        throw fs::filesystem_error("boost::filesystem::rename", path,
                                   boost::system::errc::make_error_code(boost::system::errc::is_a_directory));
    if (renameOnVolume(path, aside))
        return true;
    removeFileName(path);
    return false;
}

// Moves a backup back over what stands at its destination. A move that replaces it leaves no
// moment without a file there, which for the Launcher's own program means none without a Launcher;
// where the system refuses to replace it (on Windows a running program, the new Launcher itself, or
// a file another program holds), what stands there is moved aside first, never deleted, and moved
// back if the backup still cannot go.
void restoreBackup(const fs::path& backup, const fs::path& destination, AsideFolder& aside, HeldFileWait& wait)
{
    writeDiagnosticLine("rollbacking " + backup.string() + " into " + destination.string());
    const fs::path partial = partialRestorePath(destination);
    try {
        HeldFileWait noWaiting(std::chrono::milliseconds(0));
        moveFile(backup, destination, partial, noWaiting);
        // A rename between two names of one file (a backup of a file the update linked into
        // place before) changes nothing; the backup's name goes with its copy at the destination.
        if (standing(backup))
            wait.run([&] { removeFileName(backup); });
        return;
    } catch (const fs::filesystem_error&) {
    }
    const fs::path displaced = aside.next();
    const bool movedAside = wait.run([&] { return moveAside(destination, displaced); });
    try {
        moveFile(backup, destination, partial, wait);
    } catch (const fs::filesystem_error&) {
        if (movedAside) {
            try {
                renameOnVolume(displaced, destination);
            } catch (const fs::filesystem_error&) {
            }
        }
        throw;
    }
}

// A folder standing at an added file's target was never the installation's: only files and links are.
void removeAddedFile(const fs::path& target, HeldFileWait& wait)
{
    boost::system::error_code missing;
    if (!fs::is_directory(fs::symlink_status(target, missing)))
        wait.run([&] { removeFileName(target); });
}

// Backups in the rollback folder: every entry below it that is not a folder, a link to a folder
// among them, which is a backup as any link is.
std::vector<fs::path> standingBackups(const fs::path& rollbackFolder)
{
    std::vector<fs::path> backups;
    if (!fs::is_directory(fs::symlink_status(rollbackFolder)))
        return backups;
    for (fs::recursive_directory_iterator it(rollbackFolder), end; it != end; ++it)
        if (!fs::is_directory(it->symlink_status()))
            backups.push_back(it->path());
    return backups;
}

// A copy cut short beside its target, before it took the target's name: a backup going back
// across volumes, or a copy no backup covers on another volume than the store.
void removeCutShort(const fs::path& target, HeldFileWait& wait)
{
    wait.run([&] { removeFileName(partialRestorePath(target)); });
}

// The records in the rollback store, each "<rollback folder>.journal".
std::vector<fs::path> recordsIn(const fs::path& store)
{
    std::vector<fs::path> records;
    boost::system::error_code error;
    if (!fs::is_directory(fs::status(store, error)))
        return records;
    for (fs::directory_iterator it(store), end; it != end; ++it)
        if (it->path().extension() == ".journal" && fs::is_regular_file(it->symlink_status()))
            records.push_back(it->path());
    return records;
}

}

void rollbackUpdate(const fs::path& installFolder, const fs::path& rollbackFolder, const InstallationRecord& record,
                    bool interrupted, HeldFileWait& wait)
{
    int failures = 0;
    AsideFolder aside(rollbackFolder.parent_path());
    std::unordered_set<fs::path::string_type> tried;
    for (auto step = record.steps.rbegin(); step != record.steps.rend(); ++step) {
        const fs::path destination = applyAsarRule(installFolder / step->relative);
        const fs::path backup = rollbackFolder / step->relative;
        wait.nextFile();
        try {
            if (interrupted)
                removeCutShort(destination, wait);
            if (step->kind == InstallStep::Kind::add) {
                // Only what the record shows this installation wrote goes, and only after the end of
                // an earlier run, whose data may never have reached the disk: an added copy stands
                // under its name whole or not at all, and anything else there is not the update's.
                if (interrupted && step->written)
                    removeAddedFile(destination, wait);
                continue;
            }
            if (standing(backup) && tried.insert(backup.native()).second)
                restoreBackup(backup, destination, aside, wait);
        } catch (...) {
            ++failures;
        }
    }
    for (const fs::path& backup : standingBackups(rollbackFolder)) {
        if (tried.count(backup.native()))
            continue;
        wait.nextFile();
        try {
            restoreBackup(backup, applyAsarRule(rebasePath(backup, rollbackFolder, installFolder)), aside, wait);
        } catch (...) {
            ++failures;
        }
    }
    if (failures > 0)
        showMessage("There was an error while rollbacking a failed update. You may need to reinstall "
                    "the application.");
}

bool undoInstallation(const fs::path& installFolder, const fs::path& rollbackFolder, const InstallationRecord& record,
                      bool interrupted, HeldFileWait& wait)
{
    rollbackUpdate(installFolder, rollbackFolder, record, interrupted, wait);
    // Backups that could not be moved back are the only copy of the user's files: keep them, with
    // the record, for a later run to move back.
    if (!standingBackups(rollbackFolder).empty()) {
        writeDiagnosticLine("keeping rollback folder " + rollbackFolder.string());
        return false;
    }
    deleteRollbackFolder(rollbackFolder);
    wait.nextFile();
    wait.run([&] { removeFileName(journalPath(rollbackFolder)); });
    return true;
}

bool hasInterruptedUpdate(const fs::path& installFolder)
{
    try {
        for (const fs::path& journal : recordsIn(rollbackStorePath(installFolder)))
            if (!readJournal(journal).complete)
                return true;
        return false;
    } catch (const std::exception&) {
        return true;
    }
}

void recoverInterruptedUpdates(const fs::path& installFolder, HeldFileWait& wait)
{
    const fs::path store = rollbackStorePath(installFolder);
    boost::system::error_code error;
    if (!fs::is_directory(fs::status(store, error)))
        return;
    for (fs::directory_iterator it(store), end; it != end; ++it)
        if (isAsideFolderName(it->path().filename()))
            removeLeftovers(it->path());

    for (const fs::path& journal : recordsIn(store)) {
        const fs::path rollbackFolder = fs::path(journal).replace_extension();
        // A copy cut short before it took its name, never a backup.
        fs::remove(stagingPath(rollbackFolder), error);
        const InstallationRecord record = readJournal(journal);
        if (!record.complete) {
            // Installing over an installation that is still half undone would mix the two for good.
            if (!undoInstallation(installFolder, rollbackFolder, record, true, wait))
                throw std::runtime_error("an interrupted update could not be undone; its backups stay in " +
                                         rollbackFolder.string());
            continue;
        }
        // A running program's old image, for one, could not be deleted while it ran.
        if (deleteRollbackFolder(rollbackFolder))
            fs::remove(journal, error);
    }
}
