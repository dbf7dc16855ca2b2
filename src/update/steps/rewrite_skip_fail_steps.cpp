#include "update/steps/steps.h"

#include "launcher/diagnostics.h"
#include "update/held_file_wait.h"
#include "update/steps/placing.h"
#include "update/system/file_removal.h"
#include "update/system/rename.h"

#include <boost/filesystem/operations.hpp>

namespace fs = boost::filesystem;

// Rewrite: an earlier file of the update wrote the target (two update files reach one target), and
// this one takes its place; the Launcher's own program in one rename, so that one stands there
// throughout.
// Undo: none of its own, and no record entry: the first writer's undo covers the target, its
// backup going back over whatever stands there, or its added file removed.
void placeRewrite(const UpdateFile& file, Installation& installation)
{
    HeldFileWait& wait = installation.wait;
    if (file.ownImage && !isLink(file)) {
        placeStaged(file, wantedPermissions(file), installation, true,
                    [&](const fs::path& staged) { wait.run([&] { renameReplacing(staged, file.target); }); });
        return;
    }
    wait.run([&] { removeFileName(file.target); });
    placeEntry(file, installation);
}

// Skip: a name the Launcher keeps for itself is left out, with a line that says why.
// Undo: none; nothing was written.
void skipFile(const UpdateFile& file)
{
    writeDiagnosticLine("skipping " + file.source.string() + ": " + file.skipReason);
}

// Fail: the target's status could not be read, or a folder stands there; the installation fails at
// this file's turn. Undo: none; the failure undoes the steps taken before it.
void failFile(const UpdateFile& file)
{
    raiseCopyError(file.source, file.target, fs::filesystem_error("boost::filesystem::copy_file", file.target, file.failure));
}
