#pragma once

#include "update/installation.h"
#include "update/update_plan.h"

#include <boost/filesystem/path.hpp>

#include <exception>

// Installs one planned file or link at its target, creating the parent folders first. Raises the
// copy error (also for a file planned to fail, and for a source that is neither a regular file nor
// a link), or the file-system library's error of a status query or of the folder creation.
void installFile(const UpdateFile& file, Installation& installation);

// Makes room at the target as the file's step says (moves what stands there to the rollback path,
// or removes what an earlier file of the update wrote), puts the source, a regular file, in its
// place as a hard link or a copy, and gives it the permissions of the file it replaced. Raises the
// copy error.
void copyFileWithBackup(const UpdateFile& file, Installation& installation);

// Makes room at the target as copyFileWithBackup does and creates a link with the source link's
// own text in its place. Raises the copy error.
void copySymlinkWithBackup(const UpdateFile& file, Installation& installation);

// Raises "error copying file <source> to <target> error:<reason>" and a line feed.
[[noreturn]] void raiseCopyError(const boost::filesystem::path& source,
                                 const boost::filesystem::path& target, const std::exception& error);
