#include "update/rollback.h"

#include "launcher/diagnostics.h"
#include "launcher/folder_listing.h"
#include "launcher/show_message.h"
#include "update/move_file.h"
#include "update/rollback_store.h"

#include <boost/filesystem/operations.hpp>

namespace fs = boost::filesystem;

int rollbackUpdate(const fs::path& installFolder, const fs::path& rollbackFolder)
{
    // Nothing was backed up when the installation failed before its first file.
    if (fs::symlink_status(rollbackFolder).type() == fs::file_not_found)
        return 0;

    int failures = 0;
    const PathList backups = listFolderEntries(rollbackFolder, true, false);
    for (const fs::path& backup : *backups) {
        const fs::path destination = applyAsarRule(rebasePath(backup, rollbackFolder, installFolder));
        try {
            writeDiagnosticLine("rollbacking " + backup.string() + " into " + destination.string());
            fs::remove(destination);
            moveFile(backup, destination);
        } catch (...) {
            ++failures;
        }
    }
    if (failures > 0)
        showMessage("There was an error while rollbacking a failed update. You may need to reinstall "
                    "the application.");
    return failures;
}
