#include "update/apply_update.h"

#include "launcher/diagnostics.h"
#include "launcher/folder_listing.h"
#include "launcher/install_folder.h"
#include "launcher/long_path.h"
#include "launcher/update_folders.h"
#include "update/disk_flush.h"
#include "update/file_removal.h"
#include "update/move_file.h"
#include "update/rollback.h"
#include "update/rollback_store.h"

#include <boost/filesystem/operations.hpp>

#include <sstream>
#include <stdexcept>

namespace fs = boost::filesystem;

namespace {

void createParentFolder(const fs::path& path)
{
    const fs::path parent = path.parent_path();
    if (!parent.empty() && fs::status(parent).type() == fs::file_not_found)
        fs::create_directories(parent);
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

// Makes room at target and returns the status of what stood there. An entry of the previous
// installation is moved to the rollback path; one that this installation wrote itself is only
// removed, so that the backup is always the original. Each step is recorded before it is taken.
fs::file_status makeRoom(const fs::path& target, const fs::path& rollbackPath, Installation& installation)
{
    InstallationJournal& journal = installation.journal;
    const fs::file_status status = targetStatus(target);
    const bool firstWrite = journal.claimTarget(target);
    if (fs::exists(status) && firstWrite) {
        journal.recordBackup(rollbackPath);
        installation.wait.run([&] { moveFile(target, rollbackPath, partialBackupPath(journal.rollbackFolder())); });
    } else {
        journal.recordAdd(rollbackPath);
        if (fs::exists(status))
            installation.wait.run([&] { removeFileName(target); });
    }
    return status;
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

// Puts the update's file at target with the permissions of the file it replaced, or its own when
// it replaced none. The update folder lies on the install folder's volume and goes right after the
// installation, so a hard link gives the same file without writing its data twice. A link shares
// its permissions with the update's entry, which must stay as it is, so it is taken only when they
// are already the right ones; otherwise, and wherever the file system refuses a link (another
// volume, no hard links, too many), the file is copied. A copy that the flush before completion
// does not reach is flushed at once.
void placeFile(const fs::path& source, const fs::file_status& sourceStatus, const fs::path& target,
               const fs::file_status& replaced, Installation& installation)
{
    HeldFileWait& wait = installation.wait;
    const fs::perms own = sourceStatus.permissions() & fs::perms_mask;
    const fs::perms wanted = fs::is_regular_file(replaced) ? replaced.permissions() & fs::perms_mask : own;
    if (wanted == own && wait.run([&] { return linkFile(source, target); }))
        return;
    wait.run([&] { copyWhole(source, target); });
    if (!installation.journal.flushReaches(target.parent_path()))
        wait.run([&] { flushFileToDisk(target); });
    if (fs::is_regular_file(replaced))
        wait.run([&] { fs::permissions(target, wanted); });
}

// The lock file may be reached by other names than its own: a short name, or a trailing dot that
// the plain form of a path drops.
bool isTheLockFile(const fs::path& target, const fs::path& lockFile)
{
    boost::system::error_code unknown;
    return fs::equivalent(target, lockFile, unknown);
}

}

void raiseCopyError(const fs::path& source, const fs::path& target, const std::exception& error)
{
    std::ostringstream text;
    text << "error copying file " << source.string() << " to " << target.string() << " error:" << error.what()
         << std::endl;
    throw std::runtime_error(text.str());
}

void copyFileWithBackup(const fs::path& source, const fs::file_status& sourceStatus, const fs::path& target,
                        const fs::path& rollbackPath, Installation& installation)
{
    try {
        const fs::file_status replaced = makeRoom(target, rollbackPath, installation);
        placeFile(source, sourceStatus, target, replaced, installation);
        installation.journal.recordWritten();
    } catch (const fs::filesystem_error& e) {
        raiseCopyError(source, target, e);
    }
}

void copySymlinkWithBackup(const fs::path& source, const fs::path& target, const fs::path& rollbackPath,
                           Installation& installation)
{
    try {
        makeRoom(target, rollbackPath, installation);
        fs::create_symlink(fs::read_symlink(source), target);
        installation.journal.recordWritten();
    } catch (const fs::filesystem_error& e) {
        raiseCopyError(source, target, e);
    }
}

void installFile(const fs::path& source, const fs::path& target, const fs::path& rollbackPath,
                 Installation& installation)
{
    installation.wait.nextFile();
    writeDiagnosticLine("copying " + source.string() + " to " + target.string() + " using as rollback " +
                        rollbackPath.string());
    createParentFolder(target);
    createParentFolder(rollbackPath);
    const fs::file_status kind = fs::symlink_status(source);
    if (fs::is_symlink(kind))
        copySymlinkWithBackup(source, target, rollbackPath, installation);
    else if (fs::is_regular_file(kind))
        copyFileWithBackup(source, kind, target, rollbackPath, installation);
    else
        // Opening a pipe or a device would block or never end.
        raiseCopyError(source, target, std::runtime_error("not a regular file or a link"));
}

void installUpdateFiles(const fs::path& updateFolder, const fs::path& installFolder, const fs::path& rollbackFolder,
                        Installation& installation)
{
    // Replacing the lock file would let a second Launcher lock the new one and run beside this one.
    const fs::path lockFile = installFolder / "launcher.lock";
    const PathList sources = listFolderEntries(updateFolder, true, false);
    fs::path skipped;
    for (const fs::path& source : *sources) {
        const fs::path relative = rebasePath(source, updateFolder, fs::path());
        const fs::path top = *relative.begin();
        // An update must not plant files where the Launcher keeps its own, nor a second update.
        if (isLaunchersOwnName(top)) {
            if (top != skipped)
                writeDiagnosticLine("skipping " + (updateFolder / top).string() +
                                    ": the launcher keeps this name for itself");
            skipped = top;
            continue;
        }
        const fs::path target = applyAsarRule(installFolder / relative);
        if (!relative.has_parent_path() && isTheLockFile(target, lockFile)) {
            writeDiagnosticLine("skipping " + source.string() + ": the lock file is never replaced");
            continue;
        }
        installFile(source, target, rollbackFolder / relative, installation);
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
        Installation installation{InstallationJournal(install, rollback), HeldFileWait()};
        try {
            installUpdateFiles(updateFolder, install, rollback, installation);
            installation.journal.recordComplete();
        } catch (...) {
            failure = std::current_exception();
        }
    }
    // Undone from the record, closed by now, as a later run would undo it had this one ended here.
    if (failure) {
        undoInstallation(install, rollback, false);
        std::rethrow_exception(failure);
    }
    // Completion is on record, so a failure or an end here leaves only files to delete, never a
    // rollback of the completed installation.
    deleteRollbackFolder(rollback);
    boost::system::error_code ignored;
    if (!fs::exists(fs::symlink_status(rollback, ignored)))
        fs::remove(journalPath(rollback), ignored);
}
