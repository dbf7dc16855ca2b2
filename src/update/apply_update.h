#pragma once

#include <boost/filesystem/path.hpp>

#include <exception>

// Installs the update folder over the install folder, file by file, moving every replaced file
// into a fresh rollback folder first. After a complete installation the rollback folder is
// deleted. After a failure the backups are moved back and the failure is raised again; backups
// that could not be moved back are kept in the rollback folder. An update folder that does not
// exist installs nothing.
void applyUpdate(const boost::filesystem::path& updateFolder);

// Installs every file of the update folder, in walk order. Raises at the first failure; the
// files after it are not touched.
void installUpdateFiles(const boost::filesystem::path& updateFolder,
                        const boost::filesystem::path& installFolder,
                        const boost::filesystem::path& rollbackFolder);

// Installs one file or link at target, creating the parent folders of target and rollback path
// first. Raises the copy error, or the file-system library's error of a status query or of the
// folder creation.
void installFile(const boost::filesystem::path& source, const boost::filesystem::path& target,
                 const boost::filesystem::path& rollbackPath);

// Moves what stands at target to the rollback path, copies the source in its place and gives it
// the permissions of the file it replaced. Raises the copy error.
void copyFileWithBackup(const boost::filesystem::path& source, const boost::filesystem::path& target,
                        const boost::filesystem::path& rollbackPath);

// Moves what stands at target to the rollback path and creates a link with the source link's
// own text in its place. Raises the copy error.
void copySymlinkWithBackup(const boost::filesystem::path& source, const boost::filesystem::path& target,
                           const boost::filesystem::path& rollbackPath);

// Raises "error copying file <source> to <target> error:<reason>" and a line feed.
[[noreturn]] void raiseCopyError(const boost::filesystem::path& source,
                                 const boost::filesystem::path& target, const std::exception& error);
