#include "update/apply_update.h"

#include "launcher/diagnostics.h"
#include "launcher/folder_listing.h"
#include "launcher/install_folder.h"
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

}

void raiseCopyError(const fs::path& source, const fs::path& target, const std::exception& error)
{
    std::ostringstream text;
    text << "error copying file " << source.string() << " to " << target.string() << " error:" << error.what()
         << std::endl;
    throw std::runtime_error(text.str());
}

void copyFileWithBackup(const fs::path& source, const fs::path& target, const fs::path& rollbackPath)
{
    try {
        const fs::file_status status = targetStatus(target);
        if (fs::exists(status)) {
            const bool keepPermissions = fs::is_regular_file(status);
            moveFile(target, rollbackPath);
            copyWhole(source, target);
            if (keepPermissions)
                fs::permissions(target, status.permissions());
        } else {
            copyWhole(source, target);
        }
    } catch (const fs::filesystem_error& e) {
        raiseCopyError(source, target, e);
    }
}

void copySymlinkWithBackup(const fs::path& source, const fs::path& target, const fs::path& rollbackPath)
{
    try {
        if (fs::exists(targetStatus(target)))
            moveFile(target, rollbackPath);
        fs::create_symlink(fs::read_symlink(source), target);
    } catch (const fs::filesystem_error& e) {
        raiseCopyError(source, target, e);
    }
}

void installFile(const fs::path& source, const fs::path& target, const fs::path& rollbackPath)
{
    writeDiagnosticLine("copying " + source.string() + " to " + target.string() + " using as rollback " +
                        rollbackPath.string());
    createParentFolder(target);
    createParentFolder(rollbackPath);
    if (fs::is_symlink(fs::symlink_status(source)))
        copySymlinkWithBackup(source, target, rollbackPath);
    else
        copyFileWithBackup(source, target, rollbackPath);
}

void installUpdateFiles(const fs::path& updateFolder, const fs::path& installFolder, const fs::path& rollbackFolder)
{
    const PathList sources = listFolderEntries(updateFolder, true, false);
    for (const fs::path& source : *sources) {
        const fs::path target = applyAsarRule(rebasePath(source, updateFolder, installFolder));
        const fs::path rollbackPath = rebasePath(source, updateFolder, rollbackFolder);
        installFile(source, target, rollbackPath);
    }
}

void applyUpdate(const fs::path& updateFolder)
{
    if (!fs::exists(fs::status(updateFolder)))
        return;
    const fs::path install = installFolder();
    const fs::path rollback = newRollbackFolderPath();
    if (fs::exists(fs::symlink_status(rollback)))
        deleteRollbackFolder(rollback);

    std::exception_ptr failure;
    try {
        installUpdateFiles(updateFolder, install, rollback);
        deleteRollbackFolder(rollback);
    } catch (...) {
        failure = std::current_exception();
    }
    if (!failure)
        return;

    // Backups that could not be moved back are the only copy of the user's files: keep them.
    if (rollbackUpdate(install, rollback) == 0)
        deleteRollbackFolder(rollback);
    else
        writeDiagnosticLine("keeping rollback folder " + rollback.string());
    std::rethrow_exception(failure);
}
