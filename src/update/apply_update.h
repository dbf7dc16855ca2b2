#pragma once

#include "update/held_file_wait.h"
#include "update/installation_journal.h"

#include <boost/filesystem/file_status.hpp>
#include <boost/filesystem/path.hpp>

#include <exception>
#include <unordered_set>

// What an installation carries from file to file: its record, its patience with files that
// other programs hold for a moment, and the folders it has made sure of (each asked for once).
struct Installation {
    InstallationJournal journal;
    HeldFileWait wait;
    std::unordered_set<boost::filesystem::path::string_type> folders;
};

// One file of the update, as its installation plans it.
struct UpdateFile {
    boost::filesystem::path source;
    // As the walk of the update folder saw it: its type, and on Windows its read-only attribute.
    boost::filesystem::file_status sourceStatus;
    boost::filesystem::path target;
    boost::filesystem::path rollbackPath;
    // What stood at the target when the file's batch was planned (status_error: asked again at its
    // turn, which raises the error).
    boost::filesystem::file_status found;
    // The installation wrote the target already, for an earlier file: nothing of the previous
    // installation stands there.
    bool claimed = false;
};

// Installs the update folder over the install folder, file by file, moving every replaced file
// into a fresh rollback folder in the install folder first and keeping a record of each step
// beside it. After a complete installation the rollback folder and the record are deleted, as far
// as they can be; nothing after the completion raises. After a failure the installation is undone
// and the failure is raised again; backups that could not be moved back are kept in the rollback
// folder with their record, for a later run to move back. An update folder that does not exist
// installs nothing.
void applyUpdate(const boost::filesystem::path& updateFolder);

// Installs every file of the update folder, in walk order, a batch of files at a time: the batch's
// steps are planned and recorded in one write, then taken one by one. An entry for the lock file
// (whatever name reaches it) and the top-level entries named as the Launcher's own folders are
// skipped with a diagnostic line. Raises at the first failure; the files after it are not touched.
void installUpdateFiles(const boost::filesystem::path& updateFolder,
                        const boost::filesystem::path& installFolder,
                        const boost::filesystem::path& rollbackFolder, Installation& installation);

// Installs one planned file or link at its target, creating the parent folders first. Raises the
// copy error (also for a source that is neither a regular file nor a link), or the file-system
// library's error of a status query or of the folder creation.
void installFile(const UpdateFile& file, Installation& installation);

// Moves what stands at the target to the rollback path (or removes it when this installation
// wrote it), puts the source, a regular file, in its place as a hard link or a copy, and gives it
// the permissions of the file it replaced. Raises the copy error.
void copyFileWithBackup(const UpdateFile& file, Installation& installation);

// Makes room at the target as copyFileWithBackup does and creates a link with the source link's
// own text in its place. Raises the copy error.
void copySymlinkWithBackup(const UpdateFile& file, Installation& installation);

// Raises "error copying file <source> to <target> error:<reason>" and a line feed.
[[noreturn]] void raiseCopyError(const boost::filesystem::path& source,
                                 const boost::filesystem::path& target, const std::exception& error);
