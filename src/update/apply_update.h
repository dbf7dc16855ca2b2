#pragma once

#include "update/held_file_wait.h"
#include "update/installation_journal.h"

#include <boost/filesystem/file_status.hpp>
#include <boost/filesystem/path.hpp>

#include <exception>

// What an installation carries from file to file: its record, and its patience with files that
// other programs hold for a moment.
struct Installation {
    InstallationJournal journal;
    HeldFileWait wait;
};

// Installs the update folder over the install folder, file by file, moving every replaced file
// into a fresh rollback folder in the install folder first and keeping a record of each step
// beside it. After a complete installation the rollback folder and the record are deleted, as far
// as they can be; nothing after the completion raises. After a failure the installation is undone
// and the failure is raised again; backups that could not be moved back are kept in the rollback
// folder with their record, for a later run to move back. An update folder that does not exist
// installs nothing.
void applyUpdate(const boost::filesystem::path& updateFolder);

// Installs every file of the update folder, in walk order. An entry for the lock file (whatever
// name reaches it) and the top-level entries named as the Launcher's own folders are skipped with
// a diagnostic line. Raises at the first failure; the files after it are not touched.
void installUpdateFiles(const boost::filesystem::path& updateFolder,
                        const boost::filesystem::path& installFolder,
                        const boost::filesystem::path& rollbackFolder, Installation& installation);

// Installs one file or link at target, creating the parent folders of target and rollback path
// first. Raises the copy error (also for a source that is neither a regular file nor a link), or
// the file-system library's error of a status query or of the folder creation.
void installFile(const boost::filesystem::path& source, const boost::filesystem::path& target,
                 const boost::filesystem::path& rollbackPath, Installation& installation);

// Moves what stands at target to the rollback path (or removes it when this installation wrote
// it), puts the source (a regular file, of the status given) in its place as a hard link or a
// copy, and gives it the permissions of the file it replaced. Raises the copy error.
void copyFileWithBackup(const boost::filesystem::path& source, const boost::filesystem::file_status& sourceStatus,
                        const boost::filesystem::path& target, const boost::filesystem::path& rollbackPath,
                        Installation& installation);

// Makes room at target as copyFileWithBackup does and creates a link with the source link's own
// text in its place. Raises the copy error.
void copySymlinkWithBackup(const boost::filesystem::path& source, const boost::filesystem::path& target,
                           const boost::filesystem::path& rollbackPath, Installation& installation);

// Raises "error copying file <source> to <target> error:<reason>" and a line feed.
[[noreturn]] void raiseCopyError(const boost::filesystem::path& source,
                                 const boost::filesystem::path& target, const std::exception& error);
