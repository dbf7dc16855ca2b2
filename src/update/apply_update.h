#pragma once

#include "update/installation.h"

#include <boost/filesystem/path.hpp>

#include <optional>
#include <vector>

// What a complete installation leaves to delete: its rollback folder, with the backups and the
// folders below it that it made, in their order, and its record. Nothing undoes it any more.
struct CompletedInstallation {
    boost::filesystem::path rollbackFolder;
    std::vector<boost::filesystem::path> backups;
    std::vector<boost::filesystem::path> folders;
};

// Installs the update folder over the install folder, file by file, moving every replaced file
// into a fresh rollback folder in the install folder first and keeping a record of each step
// beside it. Returns the complete installation, whose backups are left for
// deleteCompletedInstallation: the player waits for the Lobby, not for them. After a failure the
// installation is undone and the failure is raised again; backups that could not be moved back are
// kept in the rollback folder with their record, for a later run to move back. Files held for a
// moment are waited out within the run's budget. An update folder that does not exist installs
// nothing and returns nothing.
std::optional<CompletedInstallation> applyUpdate(const boost::filesystem::path& updateFolder, HeldFileWait& wait);

// Deletes what a complete installation left, and then its record, as far as they can be at once;
// what cannot go is left for a later run. Never raises.
void deleteCompletedInstallation(const CompletedInstallation& installation);

// Installs every file of the update folder, in walk order, a batch of files at a time: the batch's
// steps are planned and recorded in one write, then taken one by one. Raises at the first failure;
// the files after it are not touched.
void installUpdateFiles(const boost::filesystem::path& updateFolder,
                        const boost::filesystem::path& installFolder, Installation& installation);

// Makes everything the installation placed durable and records it complete. Where the volume
// cannot be flushed, each copy and each folder the installation wrote in is flushed instead; where
// that fails too, the completion is recorded all the same, with a warning line: every file is in
// place, and undoing them would be worse. Raises only when the record can neither take the
// completion nor be removed.
void completeInstallation(const boost::filesystem::path& installFolder, Installation& installation);
