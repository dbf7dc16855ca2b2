#pragma once

#include <boost/filesystem/path.hpp>

// Moves a file or symbolic link, replacing a file at the destination. On one volume this is a
// rename. Across volumes the entry is copied to `partial`, a name on the destination's volume
// that holds nothing of value, flushed to the disk there and renamed to the destination, and only
// then is the source removed: whatever stands under the destination's name is whole, and a power
// cut leaves the entry under one name or both, never under none. Raises
// boost::filesystem::filesystem_error, and then the entry is still at its source and neither the
// destination nor `partial` holds a copy of it.
void moveFile(const boost::filesystem::path& from, const boost::filesystem::path& to,
              const boost::filesystem::path& partial);

// Renames on one volume, replacing a file at the destination. Returns false, having changed
// nothing, when the two lie on different volumes; raises boost::filesystem::filesystem_error for
// any other failure.
bool renameOnVolume(const boost::filesystem::path& from, const boost::filesystem::path& to);
