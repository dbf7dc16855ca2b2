#pragma once

#include "update/record_reader.h"

#include <boost/filesystem/path.hpp>

class HeldFileWait;

// Undoes an installation, one step after the other down one list, latest first: the recorded steps,
// then every backup that stands in the rollback folder unrecorded. Each kind of step undoes itself
// (undoReplace, undoAdd). It goes on past failures and waits out files held for a moment; when
// anything could not be undone, it shows the reinstall message once. `interrupted`: after the end
// of an earlier run, rather than a failure of this one.
void rollbackUpdate(const boost::filesystem::path& installFolder, const boost::filesystem::path& rollbackFolder,
                    const InstallationRecord& record, bool interrupted, HeldFileWait& wait);

// Ends an installation that did not complete, from its record as read back: rolls it back, then
// deletes its rollback folder and its record. When a backup could not be moved back, keeps both,
// says so and returns false, so that a later run moves it back. Raises
// boost::filesystem::filesystem_error when the record cannot be removed: a later run would undo
// it again, over whatever was installed since.
bool undoInstallation(const boost::filesystem::path& installFolder, const boost::filesystem::path& rollbackFolder,
                      const InstallationRecord& record, bool interrupted, HeldFileWait& wait);

// Whether the rollback store holds the record of an installation that is not complete, or one
// that cannot be read: recovery then has files to move. Never raises.
bool hasInterruptedUpdate(const boost::filesystem::path& installFolder);

// Finishes what earlier runs left in the install folder's rollback store, right after the lock is
// taken: an installation that a killed run, a power cut or a backup that could not be moved back
// left unfinished is undone, and what is left of completed installations and of files moved aside
// is deleted, as far as it can be at once. Raises when a record cannot be read, and when an
// installation cannot be undone whole: nothing may be installed over it until it is.
void recoverInterruptedUpdates(const boost::filesystem::path& installFolder, HeldFileWait& wait);
