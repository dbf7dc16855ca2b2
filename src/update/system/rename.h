#pragma once

#include <boost/filesystem/path.hpp>
#include <boost/system/error_code.hpp>

// Renames on one volume, replacing a file or link at the destination. Raises
// boost::filesystem::filesystem_error with the system's error, and then nothing has changed;
// isAnotherVolume tells the error of two different volumes.
void renameReplacing(const boost::filesystem::path& from, const boost::filesystem::path& to);

// Whether a rename failed only because its two names lie on different volumes.
bool isAnotherVolume(const boost::system::error_code& error);

// Renames on one volume to a name where nothing stands; raises
// boost::filesystem::filesystem_error when something does, and then nothing has changed.
void renameNew(const boost::filesystem::path& from, const boost::filesystem::path& to);

// Puts `replacement` in the place of `target`, on one volume, keeping what stood there as `backup`.
// On Linux the backup is a second name of the file (a copy where the volume has no links) and the
// replacement takes the target's name in one rename, so something stands at `target` throughout.
// On Windows, where a running program cannot be replaced, only renamed, the target is renamed to
// the backup right before: between those two calls nothing stands at `target`, and nothing can
// close that gap there. Raises boost::filesystem::filesystem_error, and then everything is as it was.
void replaceKeepingBackup(const boost::filesystem::path& target, const boost::filesystem::path& replacement,
                          const boost::filesystem::path& backup);
