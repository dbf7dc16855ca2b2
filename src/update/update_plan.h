#pragma once

#include "update/installation.h"
#include "update/system/folder_walk.h"

#include <boost/filesystem/file_status.hpp>
#include <boost/filesystem/path.hpp>
#include <boost/system/error_code.hpp>

#include <cstddef>
#include <vector>

// What an update file does to its target, decided once, when its batch is planned: placing,
// recording and undoing read it and never work it out again.
enum class Step {
    replace, // what stands at the target moves to the rollback path, and the file takes its place
    add,     // nothing stands at the target
    rewrite, // an earlier file of the update wrote the target: no backup, and the first writer's undo covers it
    skip,    // left out, for its reason
    fail,    // fails at its turn: the target's status could not be read, or a folder stands there
};

// An entry of the update folder's walk: a file or link, or a top-level entry named as one of the
// Launcher's own folders (wholeTopLevel), skipped whole.
using ListedFile = WalkedEntry;

// One file of the update, as its installation plans it.
struct UpdateFile {
    boost::filesystem::path source;
    // As the walk of the update folder saw it: its type, and on Windows its read-only attribute.
    boost::filesystem::file_status sourceStatus;
    boost::filesystem::path target;
    boost::filesystem::path rollbackPath;
    Step step = Step::add;
    // Replace and rewrite: what stood at the target before the installation first wrote it, whose
    // permissions the file takes.
    boost::filesystem::file_status replaced;
    // Skip: why.
    const char* skipReason = nullptr;
    // Fail: the error it fails with.
    boost::system::error_code failure;
    // The target is the Launcher's own program, which a later run needs to finish or undo the
    // installation: made whole and durable aside and renamed into place, never linked, so that no
    // second name of a Launcher that runs is left in the update folder, where it could not be
    // deleted. On Windows two calls leave no program at its name (replaceKeepingBackup).
    bool ownImage = false;
};

// The update's files in walk order, with what the walk already knows of each: folders are left
// out (a link counts as what it leads to) and only their files are listed. Raises "Invalid folder"
// when the update folder is not a folder, and the file-system library's errors of the walk.
std::vector<ListedFile> listUpdateFiles(const boost::filesystem::path& updateFolder);

// Plans the steps of `count` listed files from `first` on: asks what stands at each target and
// records, in one write, the entries of the steps about to be taken. The lock file (whatever name
// reaches it) and the Launcher's own names are skipped. Raises the record's write error.
std::vector<UpdateFile> planBatch(const std::vector<ListedFile>& listed, std::size_t first, std::size_t count,
                                  const boost::filesystem::path& updateFolder,
                                  const boost::filesystem::path& installFolder, Installation& installation);
