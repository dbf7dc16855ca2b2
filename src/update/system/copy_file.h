#pragma once

#include <boost/filesystem/file_status.hpp>
#include <boost/filesystem/path.hpp>

#include <optional>

// What copies to one volume learn of it, so that each copy does not try again what the volume
// refused once: the kernel's copy is an optimization.
struct CopyFacts {
    bool kernelCopyRefused = false;
    // Whether a file keeps the permissions it is given (exFAT and FAT have none); unknown until
    // the first copy there tells.
    std::optional<bool> keepsPermissions;
};

// Creates a file at target, where nothing may stand, with the data and the permissions of the
// source, a regular file: the kernel copies the data where the volumes let it, and once the
// volume refuses that, this copy and every later one there takes the plain way. Where `flushNow`,
// the copy is flushed to the disk before it is closed. `sourceStatus` is the source's status as
// the walk saw it. Learns from the first copy to a volume whether it keeps permissions. Returns
// the permissions the copy has. Raises boost::filesystem::filesystem_error, and then whatever the
// copy created is gone (what stood at the target already is not touched).
boost::filesystem::perms copyFileData(const boost::filesystem::path& source, const boost::filesystem::path& target,
                                      const boost::filesystem::file_status& sourceStatus, CopyFacts& volume,
                                      bool flushNow);
