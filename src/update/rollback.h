#pragma once

#include "update/installation_journal.h"

#include <boost/filesystem/path.hpp>

#include <vector>

// Undoes an installation's steps in the reverse of their order: every backup goes back to where
// it was taken from, going on past failures, and a file that a step left half written is removed.
// Files the update added whole stay. When a backup could not be moved
// back, shows the reinstall message once. Returns the number of backups that could not be moved
// back; they stay in the rollback folder.
int rollbackUpdate(const boost::filesystem::path& installFolder, const boost::filesystem::path& rollbackFolder,
                   const std::vector<InstallStep>& steps);

// Ends an installation that did not complete, from its record: rolls it back, deletes its
// rollback folder or, when a backup could not be moved back, keeps it and says so, and removes
// the record. Raises when the record cannot be read.
void undoInstallation(const boost::filesystem::path& installFolder, const boost::filesystem::path& rollbackFolder);

// Finishes what earlier runs left in the install folder's rollback store, right after the lock is
// taken: an installation that a killed run left unfinished is undone, and the rollback folder of a
// completed one that could not be deleted then is deleted now, as far as it can be. Raises when a
// record cannot be read.
void recoverInterruptedUpdates(const boost::filesystem::path& installFolder);
