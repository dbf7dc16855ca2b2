#include "update/install_file.h"

#include "launcher/diagnostics.h"
#include "update/disk_flush.h"
#include "update/file_removal.h"
#include "update/move_file.h"
#include "update/rollback_store.h"

#include <boost/filesystem/operations.hpp>

#include <sstream>
#include <stdexcept>

namespace fs = boost::filesystem;

namespace {

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

void makeRoom(const UpdateFile& file, Installation& installation)
{
    HeldFileWait& wait = installation.wait;
    if (file.step == Step::replace) {
        createRollbackFolder(file.rollbackPath.parent_path(), installation);
        moveFile(file.target, file.rollbackPath, partialBackupPath(installation.journal.rollbackFolder()), wait);
    } else if (file.step == Step::rewrite) {
        wait.run([&] { removeFileName(file.target); });
    }
}

// A copy that fails half-way (a full disk) must not leave a truncated file where the old one
// stood: it was moved aside or never existed, so whatever the copy created is ours to remove. The
// copy never replaces anything: what stands at the target by then was never backed up.
void copyWhole(const fs::path& source, const fs::path& target)
{
    try {
        fs::copy_file(source, target, fs::copy_options::none);
    } catch (const fs::filesystem_error& e) {
        if (e.code() != boost::system::errc::file_exists) {
            boost::system::error_code ignored;
            fs::remove(target, ignored);
        }
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

// The permissions the file takes where it replaced a regular file (those of the file it replaced),
// and whether its own already are those.
struct Permissions {
    bool replacing = false;
    fs::perms wanted = fs::no_perms;
    bool same = true;
};

Permissions permissionsFor(const UpdateFile& file)
{
    Permissions permissions;
    if (!fs::is_regular_file(file.replaced))
        return permissions;
    // The walk tells permissions on Windows only.
    const fs::file_status source = fs::permissions_present(file.sourceStatus) ? file.sourceStatus
                                                                            : fs::symlink_status(file.source);
    permissions.replacing = true;
    permissions.wanted = file.replaced.permissions() & fs::perms_mask;
    permissions.same = permissions.wanted == (source.permissions() & fs::perms_mask);
    return permissions;
}

// Puts the update's file at the target with the permissions of the file it replaced, or its own
// when it replaced none. The update folder lies on the install folder's volume and goes right
// after the installation, so a hard link gives the same file without writing its data twice. A
// link shares its permissions with the update's entry, which must stay as it is, so it is taken
// only when they are already the right ones; otherwise, and wherever the file system refuses a
// link (another volume, no hard links, too many), the file is copied. A copy that the flush before
// completion does not reach is flushed at once.
void placeFile(const UpdateFile& file, Installation& installation)
{
    HeldFileWait& wait = installation.wait;
    const Permissions permissions = permissionsFor(file);
    if (permissions.same && wait.run([&] { return linkFile(file.source, file.target); }))
        return;
    wait.run([&] { copyWhole(file.source, file.target); });
    if (installation.journal.flushReaches(file.target.parent_path()))
        installation.copied.push_back(file.target);
    else
        wait.run([&] { flushFileToDisk(file.target); });
    if (permissions.replacing)
        wait.run([&] { fs::permissions(file.target, permissions.wanted); });
}

// The Launcher's own program is never missing, whatever ends the run, or no run could ever follow
// to finish the installation or undo it: its new copy is made whole and durable beside it, with
// its permissions, and takes its place in one rename.
void placeOwnImage(const UpdateFile& file, Installation& installation)
{
    HeldFileWait& wait = installation.wait;
    const fs::path staged = partialRestorePath(file.target);
    const Permissions permissions = permissionsFor(file);
    try {
        wait.run([&] {
            removeFileName(staged);
            copyWhole(file.source, staged);
        });
        wait.run([&] { flushFileToDisk(staged); });
        if (permissions.replacing)
            wait.run([&] { fs::permissions(staged, permissions.wanted); });
        if (file.step == Step::replace) {
            createRollbackFolder(file.rollbackPath.parent_path(), installation);
            wait.run([&] { replaceKeepingBackup(file.target, staged, file.rollbackPath); });
        } else if (!wait.run([&] { return renameOnVolume(staged, file.target); })) {
            throw fs::filesystem_error("boost::filesystem::rename", staged, file.target,
                                       boost::system::errc::make_error_code(boost::system::errc::cross_device_link));
        }
    } catch (const fs::filesystem_error&) {
        boost::system::error_code ignored;
        fs::remove(staged, ignored);
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

void copyFileWithBackup(const UpdateFile& file, Installation& installation)
{
    try {
        if (file.ownImage) {
            placeOwnImage(file, installation);
        } else {
            makeRoom(file, installation);
            placeFile(file, installation);
        }
        if (file.step == Step::add)
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
        if (file.step == Step::add)
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
    if (file.step == Step::fail)
        raiseCopyError(file.source, file.target,
                       fs::filesystem_error("boost::filesystem::copy_file", file.target, file.failure));
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
