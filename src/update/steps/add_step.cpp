#include "update/steps/steps.h"

#include "update/held_file_wait.h"
#include "update/steps/placing.h"
#include "update/system/file_removal.h"
#include "update/system/rename.h"

#include <boost/filesystem/operations.hpp>

namespace fs = boost::filesystem;

// Add: nothing stands at the target, and the update's entry takes its name whole; the record then
// shows that this installation wrote it. The Launcher's own program is made durable before it
// takes its name, as a replaced one is.
void placeAdd(const UpdateFile& file, Installation& installation)
{
    if (file.ownImage && !isLink(file))
        placeStaged(file, std::nullopt, installation, true, [&](const fs::path& staged) {
            installation.wait.run([&] { renameNew(staged, file.target); });
        });
    else
        placeEntry(file, installation);
    installation.record.recordWritten(file.rollbackPath);
}

// Undo: only what the record shows this installation wrote goes, and only after the end of an
// earlier run, whose data may never have reached the disk: an added copy stands under its name
// whole or not at all, and anything else there is not the update's. After a failure of this run the
// files it added whole stay. A folder standing there was never the installation's: only files and
// links are.
void undoAdd(const InstallStep& step, const fs::path& target, Undo& undo)
{
    if (!undo.interrupted || !step.written)
        return;
    boost::system::error_code missing;
    if (!fs::is_directory(fs::symlink_status(target, missing)))
        undo.wait.run([&] { removeFileName(target); });
}
