#pragma once

#include "update/volume_facts.h"

#include <boost/filesystem/file_status.hpp>
#include <boost/filesystem/path.hpp>

// Creates a file at target, where nothing may stand, with the data and the permissions of the
// source, a regular file: the kernel copies the data where the volumes let it, and once the
// volume refuses that, this copy and every later one there takes the plain way. Where `flushNow`,
// the copy is flushed to the disk before it is closed. `sourceStatus` is the source's status as
// the walk saw it. Learns from the first copy to a volume whether it keeps permissions. Returns
// the permissions the copy has. Raises boost::filesystem::filesystem_error, and then whatever the
// copy created is gone (what stood at the target already is not touched).
boost::filesystem::perms copyFileData(const boost::filesystem::path& source, const boost::filesystem::path& target,
                                      const boost::filesystem::file_status& sourceStatus, VolumeFacts& volume,
                                      bool flushNow);
