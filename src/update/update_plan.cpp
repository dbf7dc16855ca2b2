#include "update/update_plan.h"

#include "launcher/install_folder.h"
#include "launcher/update_folders.h"
#include "update/system/file_name_key.h"
#include "update/system/folder_handles.h"
#include "update/rollback_store.h"

#include <boost/filesystem/operations.hpp>

#include <stdexcept>

namespace fs = boost::filesystem;

namespace {

// The lock file may be reached by other names than its own: a short name, for one.
bool isTheLockFile(const fs::path& target, const fs::path& lockFile)
{
    boost::system::error_code unknown;
    return fs::equivalent(target, lockFile, unknown);
}

// Decides the file's step from what stands at its target, looked at without following a link: a
// dangling link is still something to back up, and a link must never lead the copy outside the
// install folder.
void planStep(UpdateFile& file, const fs::path& installFolder, Installation& installation)
{
    boost::system::error_code error;
    const fs::file_status found = entryStatus(file.target, error);
    // Nothing standing there comes back with an error too.
    if (error && found.type() != fs::file_not_found) {
        file.step = Step::fail;
        file.failure = error;
        return;
    }
    // Moving a folder aside would hide its whole tree in the backups; the file fails instead.
    if (fs::is_directory(found)) {
        file.step = Step::fail;
        file.failure = boost::system::errc::make_error_code(boost::system::errc::is_a_directory);
        return;
    }
    // Replacing the lock file would let a second Launcher lock the new one and run beside this one.
    if (fs::exists(found) && file.target.parent_path() == installFolder &&
        isTheLockFile(file.target, installFolder / "launcher.lock")) {
        file.step = Step::skip;
        file.skipReason = "the lock file is never replaced";
        return;
    }
    // Two files of the update can have one target: "app.asar" and "app.asar_tmp", or on Windows
    // names that differ in letter case. Only the first backs up, so that the backup is the original.
    const auto [first, claimed] =
        installation.targets.try_emplace(fileNameKey(rebasePath(file.target, installFolder, fs::path())), found);
    file.replaced = first->second;
    if (!claimed) {
        file.step = Step::rewrite;
        return;
    }
    file.step = fs::exists(found) ? Step::replace : Step::add;
}

}

std::vector<ListedFile> listUpdateFiles(const fs::path& updateFolder)
{
    try {
        // An update must not plant files where the Launcher keeps its own, nor a second update.
        return walkFolder(updateFolder, isLaunchersOwnName);
    } catch (const fs::filesystem_error& e) {
        if (e.path1() == updateFolder && (e.code() == boost::system::errc::no_such_file_or_directory ||
                                          e.code() == boost::system::errc::not_a_directory))
            throw std::runtime_error("Invalid folder");
        throw;
    }
}

std::vector<UpdateFile> planBatch(const std::vector<ListedFile>& listed, std::size_t first, std::size_t count,
                                  const fs::path& updateFolder, const fs::path& installFolder,
                                  Installation& installation)
{
    RecordWriter& record = installation.record;
    const fs::path::string_type ownImage = fileNameKey(executablePath().filename());
    std::vector<UpdateFile> batch;
    for (std::size_t i = first; i < first + count && i < listed.size(); ++i) {
        const fs::path relative = rebasePath(listed[i].path, updateFolder, fs::path());
        UpdateFile& file = batch.emplace_back();
        file.source = listed[i].path;
        file.sourceStatus = listed[i].status;
        file.target = applyAsarRule(installFolder / relative);
        file.rollbackPath = record.rollbackFolder() / relative;
        file.ownImage = file.target.parent_path() == installFolder && fileNameKey(file.target.filename()) == ownImage;
        if (listed[i].wholeTopLevel) {
            file.step = Step::skip;
            file.skipReason = "the launcher keeps this name for itself";
            continue;
        }
        planStep(file, installFolder, installation);
        if (file.step == Step::replace)
            record.planReplace(file.rollbackPath);
        else if (file.step == Step::add)
            record.planAdd(file.rollbackPath);
    }
    record.writePlanned();
    return batch;
}
