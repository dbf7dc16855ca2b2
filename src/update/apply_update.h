#pragma once

#include "update/installation.h"

#include <boost/filesystem/path.hpp>

// Installs the update folder over the install folder, file by file, moving every replaced file
// into a fresh rollback folder in the install folder first and keeping a record of each step
// beside it. After a complete installation the rollback folder and the record are deleted, as far
// as they can be; nothing after the completion raises. After a failure the installation is undone
// and the failure is raised again; backups that could not be moved back are kept in the rollback
// folder with their record, for a later run to move back. Files held for a moment are waited out
// within the run's budget. An update folder that does not exist installs nothing.
void applyUpdate(const boost::filesystem::path& updateFolder, HeldFileWait& wait);

// Installs every file of the update folder, in walk order, a batch of files at a time: the batch's
// steps are planned and recorded in one write, then taken one by one; a skipped file gets a
// diagnostic line instead. Raises at the first failure; the files after it are not touched.
void installUpdateFiles(const boost::filesystem::path& updateFolder,
                        const boost::filesystem::path& installFolder, Installation& installation);

// Makes everything the installation placed durable and records it complete. Where the volume
// cannot be flushed, each copy and each folder the installation wrote in is flushed instead; where
// that fails too, the completion is recorded all the same, with a warning line: every file is in
// place, and undoing them would be worse. Raises only when the record can neither take the
// completion nor be removed.
void completeInstallation(const boost::filesystem::path& installFolder, Installation& installation);
