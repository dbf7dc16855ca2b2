#include "update/apply_update.h"

#include "launcher/diagnostics.h"
#include "launcher/folder_listing.h"
#include "launcher/install_folder.h"
#include "update/disk_flush.h"
#include "update/file_name_key.h"
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
fs::file_status makeRoom(const fs::path& target, const fs::path& rollbackPath, InstallationJournal& journal)
{
    const fs::file_status status = targetStatus(target);
    const bool firstWrite = journal.claimTarget(target);
    if (fs::exists(status) && firstWrite) {
        journal.recordBackup(rollbackPath);
        moveFile(target, rollbackPath, partialBackupPath(journal.rollbackFolder()));
    } else {
        journal.recordAdd(rollbackPath);
        if (fs::exists(status))
            removeFileName(target);
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

// Puts the update's file at target with the permissions of the file it replaced, or its own when
// it replaced none. The update folder lies on the install folder's volume and goes right after the
// installation, so a hard link gives the same file without writing its data twice. A link shares
// its permissions with the update's entry, which must stay as it is, so it is taken only when they
// are already the right ones; otherwise, and wherever the file system refuses a link (another
// volume, no hard links, too many), the file is copied. A copy that the flush before completion
// does not reach is flushed at once.
void placeFile(const fs::path& source, const fs::file_status& sourceStatus, const fs::path& target,
               const fs::file_status& replaced, InstallationJournal& journal)
{
    const fs::perms own = sourceStatus.permissions() & fs::perms_mask;
    const fs::perms wanted = fs::is_regular_file(replaced) ? replaced.permissions() & fs::perms_mask : own;
    if (wanted == own) {
        boost::system::error_code refused;
        fs::create_hard_link(source, target, refused);
        if (!refused)
            return;
    }
    copyWhole(source, target);
    if (!journal.flushReaches(target.parent_path()))
        flushFileToDisk(target);
    if (fs::is_regular_file(replaced))
        fs::permissions(target, wanted);
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
                        const fs::path& rollbackPath, InstallationJournal& journal)
{
    try {
        const fs::file_status replaced = makeRoom(target, rollbackPath, journal);
        placeFile(source, sourceStatus, target, replaced, journal);
        journal.recordWritten();
    } catch (const fs::filesystem_error& e) {
        raiseCopyError(source, target, e);
    }
}

void copySymlinkWithBackup(const fs::path& source, const fs::path& target, const fs::path& rollbackPath,
                           InstallationJournal& journal)
{
    try {
        makeRoom(target, rollbackPath, journal);
        fs::create_symlink(fs::read_symlink(source), target);
        journal.recordWritten();
    } catch (const fs::filesystem_error& e) {
        raiseCopyError(source, target, e);
    }
}

void installFile(const fs::path& source, const fs::path& target, const fs::path& rollbackPath,
                 InstallationJournal& journal)
{
    writeDiagnosticLine("copying " + source.string() + " to " + target.string() + " using as rollback " +
                        rollbackPath.string());
    createParentFolder(target);
    createParentFolder(rollbackPath);
    const fs::file_status kind = fs::symlink_status(source);
    if (fs::is_symlink(kind))
        copySymlinkWithBackup(source, target, rollbackPath, journal);
    else if (fs::is_regular_file(kind))
        copyFileWithBackup(source, kind, target, rollbackPath, journal);
    else
        // Opening a pipe or a device would block or never end.
        raiseCopyError(source, target, std::runtime_error("not a regular file or a link"));
}

void installUpdateFiles(const fs::path& updateFolder, const fs::path& installFolder, const fs::path& rollbackFolder,
                        InstallationJournal& journal)
{
    // Replacing the lock file would let a second Launcher lock the new one and run beside this one.
    const fs::path::string_type lockFile = fileNameKey(installFolder / "launcher.lock");
    const PathList sources = listFolderEntries(updateFolder, true, false);
    for (const fs::path& source : *sources) {
        const fs::path target = applyAsarRule(rebasePath(source, updateFolder, installFolder));
        if (fileNameKey(target) == lockFile) {
            writeDiagnosticLine("skipping " + source.string() + ": the lock file is never replaced");
            continue;
        }
        installFile(source, target, rebasePath(source, updateFolder, rollbackFolder), journal);
    }
}

void applyUpdate(const fs::path& updateFolder)
{
    if (!fs::exists(fs::status(updateFolder)))
        return;
    const fs::path install = installFolder();
    const fs::path rollback = newRollbackFolderPath(install);
    if (fs::exists(fs::symlink_status(rollback)))
        deleteRollbackFolder(rollback);
    fs::create_directories(rollback.parent_path());

    std::exception_ptr failure;
    {
        InstallationJournal journal(install, rollback);
        try {
            installUpdateFiles(updateFolder, install, rollback, journal);
            journal.recordComplete();
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
