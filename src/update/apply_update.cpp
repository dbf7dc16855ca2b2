#include "update/apply_update.h"

#include "launcher/diagnostics.h"
#include "launcher/install_folder.h"
#include "launcher/long_path.h"
#include "launcher/update_folders.h"
#include "update/disk_flush.h"
#include "update/file_removal.h"
#include "update/move_file.h"
#include "update/rollback.h"
#include "update/rollback_store.h"

#include <boost/filesystem/operations.hpp>

#include <algorithm>
#include <sstream>
#include <stdexcept>
#include <vector>

namespace fs = boost::filesystem;

namespace {

// Steps recorded in one write: a killed run can only have begun the steps its record names.
constexpr std::size_t filesPerBatch = 128;

// An entry of the update folder's walk: a file or link, or a top-level entry named as one of the
// Launcher's own folders, skipped whole.
struct ListedFile {
    fs::path source;
    fs::file_status status;
    bool ownName = false;
};

// The update's files in walk order, with what the walk already knows of each: folders are left
// out (a link counts as what it leads to) and only their files are listed.
std::vector<ListedFile> listUpdateFiles(const fs::path& updateFolder)
{
    if (!fs::is_directory(fs::status(updateFolder)))
        throw std::runtime_error("Invalid folder");
    std::vector<ListedFile> files;
    for (fs::recursive_directory_iterator it(updateFolder), end; it != end; ++it) {
        const fs::file_status own = it->symlink_status();
        if (it.depth() == 0 && isLaunchersOwnName(it->path().filename())) {
            // An update must not plant files where the Launcher keeps its own, nor a second update.
            files.push_back({it->path(), own, true});
            it.disable_recursion_pending();
        } else if (!fs::is_directory(fs::is_symlink(own) ? it->status() : own)) {
            files.push_back({it->path(), own});
        }
    }
    return files;
}

// Makes sure a folder of the install tree stands, asking for it once per installation.
void createFolder(const fs::path& folder, Installation& installation)
{
    if (folder.empty() || !installation.folders.insert(folder.native()).second)
        return;
    if (fs::status(folder).type() == fs::file_not_found)
        fs::create_directories(folder);
}

// Makes a folder of the rollback folder's tree. Nothing stood there when the installation began,
// so no folder of it needs asking for: each is made once, after the one above it.
void createRollbackFolder(const fs::path& folder, Installation& installation)
{
    if (!installation.folders.insert(folder.native()).second)
        return;
    if (folder != installation.journal.rollbackFolder())
        createRollbackFolder(folder.parent_path(), installation);
    fs::create_directory(folder);
}

// What stands at target, without following a link: a dangling link is still something to back
// up, and a link must never lead the copy outside the install folder.
fs::file_status targetStatus(const fs::path& target)
{
    const fs::file_status status = fs::symlink_status(target);
    // Moving a folder aside would hide its whole tree in the backups; refuse instead.
    if (fs::is_directory(status))
        throw fs::filesystem_error("boost::filesystem::copy_file", target,
                                   boost::system::errc::make_error_code(boost::system::errc::is_a_directory));
    return status;
}

// The lock file may be reached by other names than its own: a short name, for one.
bool isTheLockFile(const fs::path& target, const fs::path& lockFile)
{
    boost::system::error_code unknown;
    return fs::equivalent(target, lockFile, unknown);
}

// Makes room at the target and returns the status of what stood there. An entry of the previous
// installation is moved to the rollback path; one that this installation wrote itself is only
// removed, so that the backup is always the original.
fs::file_status makeRoom(const UpdateFile& file, Installation& installation)
{
    if (file.claimed || file.found.type() == fs::status_error || fs::is_directory(file.found)) {
        const fs::file_status status = targetStatus(file.target);
        if (fs::exists(status))
            installation.wait.run([&] { removeFileName(file.target); });
        return status;
    }
    if (fs::exists(file.found)) {
        createRollbackFolder(file.rollbackPath.parent_path(), installation);
        installation.wait.run(
            [&] { moveFile(file.target, file.rollbackPath, partialBackupPath(installation.journal.rollbackFolder())); });
    }
    return file.found;
}

// A copy that fails half-way (a full disk) must not leave a truncated file where the old one
// stood: it was moved aside or never existed, so whatever is at target now is ours to remove.
void copyWhole(const fs::path& source, const fs::path& target)
{
    try {
        fs::copy_file(source, target, fs::copy_options::overwrite_existing);
    } catch (const fs::filesystem_error&) {
        boost::system::error_code ignored;
        if (fs::exists(fs::symlink_status(target, ignored)))
            fs::remove(target, ignored);
        throw;
    }
}

// True when the source now has a second name at target; false when the file system refuses one.
// A file held for a moment is raised, to be waited out.
bool linkFile(const fs::path& source, const fs::path& target)
{
    boost::system::error_code refused;
    fs::create_hard_link(source, target, refused);
    if (refused && isHeldFileError(refused))
        throw fs::filesystem_error("boost::filesystem::create_hard_link", source, target, refused);
    return !refused;
}

// Puts the update's file at the target with the permissions of the file it replaced, or its own
// when it replaced none. The update folder lies on the install folder's volume and goes right
// after the installation, so a hard link gives the same file without writing its data twice. A
// link shares its permissions with the update's entry, which must stay as it is, so it is taken
// only when they are already the right ones; otherwise, and wherever the file system refuses a
// link (another volume, no hard links, too many), the file is copied. A copy that the flush before
// completion does not reach is flushed at once.
void placeFile(const UpdateFile& file, const fs::file_status& replaced, Installation& installation)
{
    HeldFileWait& wait = installation.wait;
    fs::perms wanted = fs::no_perms;
    bool linkable = true;
    if (fs::is_regular_file(replaced)) {
        // The walk tells permissions on Windows only.
        const fs::file_status source = fs::permissions_present(file.sourceStatus) ? file.sourceStatus
                                                                                : fs::symlink_status(file.source);
        wanted = replaced.permissions() & fs::perms_mask;
        linkable = wanted == (source.permissions() & fs::perms_mask);
    }
    if (linkable && wait.run([&] { return linkFile(file.source, file.target); }))
        return;
    wait.run([&] { copyWhole(file.source, file.target); });
    if (!installation.journal.flushReaches(file.target.parent_path()))
        wait.run([&] { flushFileToDisk(file.target); });
    if (fs::is_regular_file(replaced))
        wait.run([&] { fs::permissions(file.target, wanted); });
}

// Asks what stands at the targets of a batch's files and records, in one write, the step each is
// about to take. A file whose target cannot be asked for, or is a folder, takes no step: it fails
// at its turn. Fills in why a file is skipped where the walk did not.
void planBatch(std::vector<UpdateFile>& batch, std::vector<const char*>& skipped, const fs::path& installFolder,
               InstallationJournal& journal)
{
    const fs::path lockFile = installFolder / "launcher.lock";
    for (std::size_t i = 0; i < batch.size(); ++i) {
        UpdateFile& file = batch[i];
        if (skipped[i])
            continue;
        // Nothing standing there comes back with an error too.
        boost::system::error_code error;
        file.found = fs::symlink_status(file.target, error);
        if ((error && file.found.type() != fs::file_not_found) || fs::is_directory(file.found)) {
            file.found = fs::file_status(fs::status_error);
            continue;
        }
        // Replacing the lock file would let a second Launcher lock the new one and run beside this one.
        if (fs::exists(file.found) && file.target.parent_path() == installFolder && isTheLockFile(file.target, lockFile)) {
            skipped[i] = "the lock file is never replaced";
            continue;
        }
        file.claimed = !journal.claimTarget(file.target);
        if (fs::exists(file.found) && !file.claimed)
            journal.planBackup(file.rollbackPath);
        else
            journal.planAdd(file.rollbackPath);
    }
    journal.writePlanned();
}

}

void raiseCopyError(const fs::path& source, const fs::path& target, const std::exception& error)
{
    std::ostringstream text;
    text << "error copying file " << source.string() << " to " << target.string() << " error:" << error.what()
         << std::endl;
    throw std::runtime_error(text.str());
}

void copyFileWithBackup(const UpdateFile& file, Installation& installation)
{
    try {
        const fs::file_status replaced = makeRoom(file, installation);
        placeFile(file, replaced, installation);
        if (!fs::exists(file.found) || file.claimed)
            installation.journal.recordWritten(file.rollbackPath);
    } catch (const fs::filesystem_error& e) {
        raiseCopyError(file.source, file.target, e);
    }
}

void copySymlinkWithBackup(const UpdateFile& file, Installation& installation)
{
    try {
        makeRoom(file, installation);
        fs::create_symlink(fs::read_symlink(file.source), file.target);
        if (!fs::exists(file.found) || file.claimed)
            installation.journal.recordWritten(file.rollbackPath);
    } catch (const fs::filesystem_error& e) {
        raiseCopyError(file.source, file.target, e);
    }
}

void installFile(const UpdateFile& file, Installation& installation)
{
    installation.wait.nextFile();
    writeDiagnosticLine("copying " + file.source.string() + " to " + file.target.string() + " using as rollback " +
                        file.rollbackPath.string());
    createFolder(file.target.parent_path(), installation);
    // A file system that does not tell types in its listing leaves them to be asked.
    const fs::file_status kind =
        fs::status_known(file.sourceStatus) ? file.sourceStatus : fs::symlink_status(file.source);
    if (fs::is_symlink(kind))
        copySymlinkWithBackup(file, installation);
    else if (fs::is_regular_file(kind))
        copyFileWithBackup(file, installation);
    else
        // Opening a pipe or a device would block or never end.
        raiseCopyError(file.source, file.target, std::runtime_error("not a regular file or a link"));
}

void installUpdateFiles(const fs::path& updateFolder, const fs::path& installFolder, const fs::path& rollbackFolder,
                        Installation& installation)
{
    const std::vector<ListedFile> listed = listUpdateFiles(updateFolder);
    for (std::size_t start = 0; start < listed.size(); start += filesPerBatch) {
        std::vector<UpdateFile> batch;
        std::vector<const char*> skipped;
        for (std::size_t i = start; i < std::min(listed.size(), start + filesPerBatch); ++i) {
            const fs::path relative = rebasePath(listed[i].source, updateFolder, fs::path());
            batch.push_back({listed[i].source, listed[i].status, applyAsarRule(installFolder / relative),
                             rollbackFolder / relative, fs::file_status(), false});
            skipped.push_back(listed[i].ownName ? "the launcher keeps this name for itself" : nullptr);
        }
        planBatch(batch, skipped, installFolder, installation.journal);
        for (std::size_t i = 0; i < batch.size(); ++i) {
            if (skipped[i])
                writeDiagnosticLine("skipping " + batch[i].source.string() + ": " + skipped[i]);
            else
                installFile(batch[i], installation);
        }
    }
}

void applyUpdate(const fs::path& updateFolder)
{
    if (!fs::exists(fs::status(updateFolder)))
        return;
    const fs::path install = longPathForm(installFolder());
    const fs::path rollback = newRollbackFolderPath(install);
    if (fs::exists(fs::symlink_status(rollback)))
        deleteRollbackFolder(rollback);
    fs::create_directories(rollback.parent_path());

    std::exception_ptr failure;
    {
        Installation installation{InstallationJournal(install, rollback), HeldFileWait(), {}};
        try {
            installUpdateFiles(updateFolder, install, rollback, installation);
            installation.journal.recordComplete();
        } catch (...) {
            failure = std::current_exception();
            // The adds that stand whole are to stay.
            try {
                installation.journal.writePlanned();
            } catch (...) {
            }
        }
    }
    // Undone from the record, closed by now, as a later run would undo it had this one ended here.
    if (failure) {
        undoInstallation(install, rollback, readJournal(journalPath(rollback)), false);
        std::rethrow_exception(failure);
    }
    // Completion is on record, so a failure or an end here leaves only files to delete, never a
    // rollback of the completed installation.
    deleteRollbackFolder(rollback);
    boost::system::error_code ignored;
    if (!fs::exists(fs::symlink_status(rollback, ignored)))
        fs::remove(journalPath(rollback), ignored);
}
