#pragma once

#include <boost/filesystem/path.hpp>

class HeldFileWait;

// Moves a file or symbolic link, replacing a file at the destination, waiting out a file held for
// a moment. On one volume this is a rename. Across volumes the entry is copied to `partial`, a
// name on the destination's volume that holds nothing of value, flushed to the disk there and
// renamed to the destination, and only then is the source removed: whatever stands under the
// destination's name is whole, and a power cut leaves the entry under one name or both, never
// under none. The copy is made once; only the removal of the source is tried again. Raises
// boost::filesystem::filesystem_error, and then the entry is still at its source and neither the
// destination nor `partial` holds a copy of it.
void moveFile(const boost::filesystem::path& from, const boost::filesystem::path& to,
              const boost::filesystem::path& partial, HeldFileWait& wait);

// Renames on one volume, replacing a file at the destination. Returns false, having changed
// nothing, when the two lie on different volumes; raises boost::filesystem::filesystem_error for
// any other failure.
bool renameOnVolume(const boost::filesystem::path& from, const boost::filesystem::path& to);

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
