#include "update/rollback.h"

#include "launcher/diagnostics.h"
#include "launcher/show_message.h"
#include "update/delete_now.h"
#include "update/held_file_wait.h"
#include "update/record_format.h"
#include "update/rollback_store.h"
#include "update/steps/steps.h"
#include "update/system/file_removal.h"

#include <boost/filesystem/operations.hpp>

#include <stdexcept>
#include <string>
#include <unordered_set>

namespace fs = boost::filesystem;

namespace {

// Backups in the rollback folder: every entry below it that is not a folder, a link to a folder
// among them, which is a backup as any link is.
std::vector<fs::path> standingBackups(const fs::path& rollbackFolder)
{
    std::vector<fs::path> backups;
    if (!fs::is_directory(fs::symlink_status(rollbackFolder)))
        return backups;
    for (fs::recursive_directory_iterator it(rollbackFolder), end; it != end; ++it)
        if (!fs::is_directory(it->symlink_status()))
            backups.push_back(it->path());
    return backups;
}

// The steps to undo, latest first: the record's, each backup once; then every backup that stands in
// the rollback folder and the record does not name. The disk is trusted over the record because a
// power cut can lose the record's last entries, written without a flush, but never a backup that
// stands: whatever stands there was moved away from its target, whole, and must go back.
std::vector<InstallStep> stepsToUndo(const fs::path& rollbackFolder, const InstallationRecord& record)
{
    std::vector<InstallStep> steps;
    std::unordered_set<fs::path::string_type> backups;
    for (auto step = record.steps.rbegin(); step != record.steps.rend(); ++step)
        if (step->kind == InstallStep::Kind::add || backups.insert((rollbackFolder / step->relative).native()).second)
            steps.push_back(*step);
    for (const fs::path& backup : standingBackups(rollbackFolder))
        if (backups.insert(backup.native()).second)
            steps.push_back({InstallStep::Kind::replace, rebasePath(backup, rollbackFolder, fs::path())});
    return steps;
}

// The records in the rollback store, each "<rollback folder>.journal".
std::vector<fs::path> recordsIn(const fs::path& store)
{
    std::vector<fs::path> records;
    boost::system::error_code error;
    if (!fs::is_directory(fs::status(store, error)))
        return records;
    for (fs::directory_iterator it(store), end; it != end; ++it)
        if (it->path().extension() == ".journal" && fs::is_regular_file(it->symlink_status()))
            records.push_back(it->path());
    return records;
}

}

void rollbackUpdate(const fs::path& installFolder, const fs::path& rollbackFolder, const InstallationRecord& record,
                    bool interrupted, HeldFileWait& wait)
{
    int failures = 0;
    AsideFolder aside(rollbackFolder.parent_path());
    Undo undo{interrupted, wait, aside};
    for (const InstallStep& step : stepsToUndo(rollbackFolder, record)) {
        const fs::path target = applyAsarRule(installFolder / step.relative);
        wait.nextFile();
        try {
            // A copy cut short beside its target, before it took the target's name: a backup going
            // back across volumes, or a copy no backup covers on another volume than the store.
            if (interrupted)
                wait.run([&] { removeFileName(partialRestorePath(target)); });
            if (step.kind == InstallStep::Kind::add)
                undoAdd(step, target, undo);
            else
                undoReplace(rollbackFolder / step.relative, target, undo);
        } catch (...) {
            ++failures;
        }
    }
    if (failures > 0)
        showMessage("There was an error while rollbacking a failed update. You may need to reinstall "
                    "the application.");
}

bool undoInstallation(const fs::path& installFolder, const fs::path& rollbackFolder, const InstallationRecord& record,
                      bool interrupted, HeldFileWait& wait)
{
    rollbackUpdate(installFolder, rollbackFolder, record, interrupted, wait);
    // Backups that could not be moved back are the only copy of the user's files: keep them, with
    // the record, for a later run to move back.
    if (!standingBackups(rollbackFolder).empty()) {
        writeDiagnosticLine("keeping rollback folder " + rollbackFolder.string());
        return false;
    }
    deleteRollbackFolder(rollbackFolder);
    wait.nextFile();
    wait.run([&] { removeFileName(recordPath(rollbackFolder)); });
    return true;
}

bool hasInterruptedUpdate(const fs::path& installFolder)
{
    try {
        for (const fs::path& record : recordsIn(rollbackStorePath(installFolder)))
            if (!readRecord(record).complete)
                return true;
        return false;
    } catch (const std::exception&) {
        return true;
    }
}

void recoverInterruptedUpdates(const fs::path& installFolder, HeldFileWait& wait)
{
    const fs::path store = rollbackStorePath(installFolder);
    boost::system::error_code error;
    if (!fs::is_directory(fs::status(store, error)))
        return;
    for (fs::directory_iterator it(store), end; it != end; ++it)
        if (isAsideFolderName(it->path().filename()))
            deleteNow(it->path());

    for (const fs::path& recordFile : recordsIn(store)) {
        const fs::path rollbackFolder = fs::path(recordFile).replace_extension();
        // A copy cut short before it took its name, never a backup.
        deleteNow(stagingPath(rollbackFolder));
        const InstallationRecord record = readRecord(recordFile);
        if (!record.complete) {
            // Installing over an installation that is still half undone would mix the two for good.
            if (!undoInstallation(installFolder, rollbackFolder, record, true, wait))
                throw std::runtime_error("an interrupted update could not be undone; its backups stay in " +
                                         rollbackFolder.string());
            continue;
        }
        // A running program's old image, for one, could not be deleted while it ran.
        if (deleteRollbackFolder(rollbackFolder))
            deleteNow(recordFile);
    }
}
