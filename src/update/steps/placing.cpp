#include "update/steps/placing.h"

#include "update/delete_now.h"
#include "update/rollback_store.h"
#include "update/system/copy_file.h"
#include "update/system/file_removal.h"
#include "update/system/folder_handles.h"
#include "update/system/rename.h"

#include <boost/filesystem/operations.hpp>

namespace fs = boost::filesystem;

namespace {

// True when the source now has a second name at target. A link only spares writing the data
// twice: whatever the refusal (another volume, a file system without links, too many names, or a
// file held), the file is copied instead, at once, and the volume is not asked again.
bool linkFile(const fs::path& source, const fs::path& target, VolumeFacts& volume)
{
    boost::system::error_code refused;
    createHardLink(source, target, refused);
    volume.linksRefused = bool(refused);
    return !refused;
}

// The source's permissions, as the walk saw them where it tells them (Windows), else asked.
fs::perms sourcePermissions(const UpdateFile& file)
{
    const fs::file_status source =
        fs::permissions_present(file.sourceStatus) ? file.sourceStatus : entryStatus(file.source);
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
        installation.wait.run([&] { return copyFileData(file.source, to, file.sourceStatus, volume.copy, flushNow); });
    if (!flushNow)
        installation.copied.push_back(file.target);
    if (wanted && *wanted != created && volume.copy.keepsPermissions.value_or(true))
        installation.wait.run([&] { fs::permissions(to, *wanted); });
}

}

void createFolder(const fs::path& folder, Installation& installation)
{
    if (folder.empty() || !installation.installFolders.insert(folder.native()).second)
        return;
    if (!installation.volumes.stands(folder))
        fs::create_directories(folder);
}

// Nothing stood there when the installation began, so no folder of it needs asking for: each is
// made once, after the one above it, the rollback folder itself at the first backup.
void createRollbackFolder(const fs::path& folder, Installation& installation)
{
    if (!installation.rollbackFolders.insert(folder.native()).second)
        return;
    const bool inner = folder != installation.record.rollbackFolder();
    if (inner)
        createRollbackFolder(folder.parent_path(), installation);
    fs::create_directory(folder);
    if (inner)
        installation.rollbackFoldersInOrder.push_back(folder);
}

bool isLink(const UpdateFile& file)
{
    // A file system that does not tell types in its listing leaves them to be asked.
    return fs::is_symlink(fs::type_present(file.sourceStatus) ? file.sourceStatus : fs::symlink_status(file.source));
}

std::optional<fs::perms> wantedPermissions(const UpdateFile& file)
{
    if (!fs::is_regular_file(file.replaced))
        return std::nullopt;
    return file.replaced.permissions() & fs::perms_mask;
}

void placeStaged(const UpdateFile& file, std::optional<fs::perms> wanted, Installation& installation, bool flushNow,
                 const std::function<void(const fs::path& staged)>& place)
{
    const fs::path staged = installation.volumes.of(file.target.parent_path()).installVolume
                                ? stagingPath(installation.record.rollbackFolder())
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
        deleteNow(staged);
        throw;
    }
}

// The update folder lies on the install folder's volume and goes right after the installation, so
// a hard link gives the same file without writing its data twice. A link shares its permissions
// with the update's entry, which must stay as it is, so it is taken only when they are already the
// right ones.
void placeEntry(const UpdateFile& file, Installation& installation)
{
    if (isLink(file)) {
        fs::create_symlink(fs::read_symlink(file.source), file.target);
        return;
    }
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
