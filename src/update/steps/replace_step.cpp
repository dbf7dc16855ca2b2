#include "update/steps/steps.h"

#include "launcher/diagnostics.h"
#include "update/delete_now.h"
#include "update/held_file_wait.h"
#include "update/move_file.h"
#include "update/rollback_store.h"
#include "update/steps/placing.h"
#include "update/system/rename.h"

#include <boost/filesystem/operations.hpp>

#include <string>

namespace fs = boost::filesystem;

// Replace: what stands at the target moves to the rollback path, and the update's entry takes its
// place. The Launcher's own program must stand at its name, or no run could follow to finish the
// installation or undo it: its new copy is made whole and durable aside, with the old one's
// permissions, never linked, and takes its place in one rename (replaceKeepingBackup tells where a
// moment without it remains).
void placeReplace(const UpdateFile& file, Installation& installation)
{
    HeldFileWait& wait = installation.wait;
    createRollbackFolder(file.rollbackPath.parent_path(), installation);
    if (file.ownImage && !isLink(file)) {
        placeStaged(file, wantedPermissions(file), installation, true, [&](const fs::path& staged) {
            wait.run([&] { replaceKeepingBackup(file.target, staged, file.rollbackPath); });
            installation.backups.push_back(file.rollbackPath);
        });
        return;
    }
    moveFile(file.target, file.rollbackPath, MoveRoom{stagingPath(installation.record.rollbackFolder()), {}}, wait);
    installation.backups.push_back(file.rollbackPath);
    placeEntry(file, installation);
}

// Undo: the backup goes back over whatever stands at the target, which is the installation's own,
// written after the backup was taken. Where the system refuses to replace it (on Windows a running
// program, the new Launcher itself, or a file another program holds), it is moved aside first,
// never deleted, and back if the backup still cannot go. A backup that does not stand was planned
// and never taken.
void undoReplace(const fs::path& backup, const fs::path& target, Undo& undo)
{
    boost::system::error_code missing;
    if (!fs::exists(fs::symlink_status(backup, missing)))
        return;
    writeDiagnosticLine("rollbacking " + backup.string() + " into " + target.string());
    moveFile(backup, target, MoveRoom{partialRestorePath(target), [&] { return undo.aside.next(); }}, undo.wait);
}

AsideFolder::~AsideFolder()
{
    if (!folder_.empty())
        deleteNow(folder_);
}

fs::path AsideFolder::next()
{
    if (folder_.empty()) {
        const fs::path folder = newAsideFolderPath(store_);
        fs::create_directory(folder);
        folder_ = folder;
    }
    return folder_ / std::to_string(++count_);
}
