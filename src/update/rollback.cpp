#include "update/rollback.h"

#include "launcher/diagnostics.h"
#include "launcher/show_message.h"
#include "update/file_removal.h"
#include "update/move_file.h"
#include "update/rollback_store.h"

#include <boost/filesystem/operations.hpp>

namespace fs = boost::filesystem;

namespace {

bool standing(const fs::path& path)
{
    boost::system::error_code ignored;
    return fs::exists(fs::symlink_status(path, ignored));
}

void undoStep(const InstallStep& step, const fs::path& backup, const fs::path& destination)
{
    if (step.kind == InstallStep::Kind::add) {
        // A copy cut short would pass for a file of the previous installation in the next one.
        if (!step.written)
            removeFileName(destination);
        return;
    }
    if (!standing(backup))
        return;
    // A move across volumes cut short: the original still stands and the backup is partial.
    if (!step.moved && standing(destination)) {
        fs::remove(backup);
        return;
    }
    writeDiagnosticLine("rollbacking " + backup.string() + " into " + destination.string());
    removeFileName(destination);
    moveFile(backup, destination);
}

}

int rollbackUpdate(const fs::path& installFolder, const fs::path& rollbackFolder, const std::vector<InstallStep>& steps)
{
    int failures = 0;
    for (auto step = steps.rbegin(); step != steps.rend(); ++step) {
        try {
            undoStep(*step, rollbackFolder / step->relative, applyAsarRule(installFolder / step->relative));
        } catch (...) {
            ++failures;
        }
    }
    if (failures > 0)
        showMessage("There was an error while rollbacking a failed update. You may need to reinstall "
                    "the application.");
    return failures;
}

void undoInstallation(const fs::path& installFolder, const fs::path& rollbackFolder)
{
    const InstallationRecord record = readJournal(journalPath(rollbackFolder));
    // Backups that could not be moved back are the only copy of the user's files: keep them.
    if (rollbackUpdate(installFolder, rollbackFolder, record.steps) == 0)
        deleteRollbackFolder(rollbackFolder);
    else
        writeDiagnosticLine("keeping rollback folder " + rollbackFolder.string());
    boost::system::error_code ignored;
    fs::remove(journalPath(rollbackFolder), ignored);
}

void recoverInterruptedUpdates(const fs::path& installFolder)
{
    const fs::path store = rollbackStorePath(installFolder);
    boost::system::error_code error;
    if (!fs::is_directory(fs::status(store, error)))
        return;

    std::vector<fs::path> journals;
    for (fs::directory_iterator it(store), end; it != end; ++it)
        if (it->path().extension() == ".journal" && fs::is_regular_file(it->symlink_status()))
            journals.push_back(it->path());

    for (const fs::path& journal : journals) {
        const fs::path rollbackFolder = fs::path(journal).replace_extension();
        if (!readJournal(journal).complete) {
            undoInstallation(installFolder, rollbackFolder);
            continue;
        }
        // A running program's old image, for one, could not be deleted while it ran.
        deleteRollbackFolder(rollbackFolder);
        if (!standing(rollbackFolder))
            fs::remove(journal, error);
    }
}
