#include "update/install_file.h"

#include "launcher/diagnostics.h"
#include "update/copy_file.h"
#include "update/file_removal.h"
#include "update/move_file.h"
#include "update/rollback_store.h"

#include <boost/filesystem/operations.hpp>

#include <optional>
#include <sstream>
#include <stdexcept>

namespace fs = boost::filesystem;

namespace {

// Makes sure a folder of the install tree stands, asking for it once per installation, with its
// volume.
void createFolder(const fs::path& folder, Installation& installation)
{
    if (folder.empty() || !installation.folders.insert(folder.native()).second)
        return;
    if (!installation.volumes.stands(folder))
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
    if (folder != installation.journal.rollbackFolder())
        installation.rollbackFolders.push_back(folder);
}

void makeRoom(const UpdateFile& file, Installation& installation)
{
    HeldFileWait& wait = installation.wait;
    if (file.step == Step::replace) {
        createRollbackFolder(file.rollbackPath.parent_path(), installation);
        moveFile(file.target, file.rollbackPath, stagingPath(installation.journal.rollbackFolder()), wait);
        installation.backups.push_back(file.rollbackPath);
    } else if (file.step == Step::rewrite) {
        wait.run([&] { removeFileName(file.target); });
    }
}

// True when the source now has a second name at target. A link only spares writing the data
// twice: whatever the refusal (another volume, a file system without links, too many names, or a
// file held), the file is copied instead, at once, and the volume is not asked again.
bool linkFile(const fs::path& source, const fs::path& target, VolumeFacts& volume)
{
    boost::system::error_code refused;
    fs::create_hard_link(source, target, refused);
    volume.linksRefused = bool(refused);
    return !refused;
}

// The source's permissions, as the walk saw them where it tells them (Windows), else asked.
fs::perms sourcePermissions(const UpdateFile& file)
{
    const fs::file_status source =
        fs::permissions_present(file.sourceStatus) ? file.sourceStatus : fs::symlink_status(file.source);
    return source.permissions() & fs::perms_mask;
}

// Copies the update's file to `to`, a name where nothing stands, and gives it `wanted` where that
// is not what the copy has and the volume keeps permissions at all. A copy that the flush before
// completion does not reach is flushed at once; one it reaches is noted for a flush of its own
// should the volume's flush fail.
void copyFile(const UpdateFile& file, const fs::path& to, std::optional<fs::perms> wanted, Installation& installation,
              bool flushNow)
{
    VolumeFacts& volume = installation.volumes.of(to.parent_path());
    flushNow = flushNow || !volume.flushReaches;
    const fs::perms created =
        installation.wait.run([&] { return copyFileData(file.source, to, file.sourceStatus, volume, flushNow); });
    if (!flushNow)
        installation.copied.push_back(file.target);
    if (wanted && *wanted != created && volume.keepsPermissions.value_or(true))
        installation.wait.run([&] { fs::permissions(to, *wanted); });
}

// What a file that replaced a regular file takes: that file's permissions.
std::optional<fs::perms> wantedPermissions(const UpdateFile& file)
{
    if (!fs::is_regular_file(file.replaced))
        return std::nullopt;
    return file.replaced.permissions() & fs::perms_mask;
}

// Copies the update's file where it is made whole before `place` gives it the target's name: the
// rollback store, which every later run clears of it, where the target lies on the install folder's
// volume, else beside the target. Nothing is left there when `place` raises.
template <class Place>
void placeStaged(const UpdateFile& file, std::optional<fs::perms> wanted, Installation& installation, bool flushNow,
                 Place place)
{
    const fs::path staged = installation.volumes.of(file.target.parent_path()).installVolume
                                ? stagingPath(installation.journal.rollbackFolder())
                                : partialRestorePath(file.target);
    try {
        try {
            copyFile(file, staged, wanted, installation, flushNow);
        } catch (const fs::filesystem_error& e) {
            // What a run cut short left beside the target, with no record that names it.
            if (e.code() != boost::system::errc::file_exists)
                throw;
            installation.wait.run([&] { removeFileName(staged); });
            copyFile(file, staged, wanted, installation, flushNow);
        }
        place(staged);
    } catch (const fs::filesystem_error&) {
        boost::system::error_code ignored;
        fs::remove(staged, ignored);
        throw;
    }
}

// Puts the update's file at the target with the permissions of the file it replaced, or its own
// when it replaced none. The update folder lies on the install folder's volume and goes right
// after the installation, so a hard link gives the same file without writing its data twice. A
// link shares its permissions with the update's entry, which must stay as it is, so it is taken
// only when they are already the right ones; otherwise, and wherever the volume refuses links,
// the file is copied.
void placeFile(const UpdateFile& file, Installation& installation)
{
    const std::optional<fs::perms> wanted = wantedPermissions(file);
    VolumeFacts& volume = installation.volumes.of(file.target.parent_path());
    if (!volume.linksRefused && (!wanted || *wanted == sourcePermissions(file)) &&
        linkFile(file.source, file.target, volume))
        return;
    if (fs::exists(file.replaced)) {
        copyFile(file, file.target, wanted, installation, false);
        return;
    }
    // No backup covers a copy where nothing stood, and nothing tells a copy cut short from a file
    // of the user's: it is made aside and takes the target's name whole.
    placeStaged(file, wanted, installation, false,
                [&](const fs::path& staged) { installation.wait.run([&] { renameNew(staged, file.target); }); });
}

// The Launcher's own program must stand at its name, or no run could follow to finish the
// installation or undo it: its new copy is made whole and durable aside, with its permissions,
// never linked, and takes its place in one rename (replaceKeepingBackup tells where a moment
// without it remains).
void placeOwnImage(const UpdateFile& file, Installation& installation)
{
    HeldFileWait& wait = installation.wait;
    placeStaged(file, wantedPermissions(file), installation, true, [&](const fs::path& staged) {
        if (file.step != Step::replace) {
            wait.run([&] { renameNew(staged, file.target); });
            return;
        }
        createRollbackFolder(file.rollbackPath.parent_path(), installation);
        wait.run([&] { replaceKeepingBackup(file.target, staged, file.rollbackPath); });
        installation.backups.push_back(file.rollbackPath);
    });
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
        fs::type_present(file.sourceStatus) ? file.sourceStatus : fs::symlink_status(file.source);
    if (fs::is_symlink(kind))
        copySymlinkWithBackup(file, installation);
    else if (fs::is_regular_file(kind))
        copyFileWithBackup(file, installation);
    else
        // Opening a pipe or a device would block or never end.
        raiseCopyError(file.source, file.target, std::runtime_error("not a regular file or a link"));
}
