#pragma once

#include <boost/filesystem/path.hpp>
#include <boost/system/error_code.hpp>

// Moves a file or symbolic link, replacing a file at the destination. Works across volumes and
// file systems: there the entry is copied (contents, permissions, link text) and then removed.
// Raises boost::filesystem::filesystem_error, and then the entry is still at its source and no
// copy of it is left at the destination.
void moveFile(const boost::filesystem::path& from, const boost::filesystem::path& to);

// Judges a move once the system's call has returned with error: it happened only if the call
// succeeded and the source is gone. Otherwise removes the copy that the call may have left at the
// destination (a destination that stood before a failed call is left alone) and raises the
// failure, "Device or resource busy" when the call claimed success.
void settleMove(const boost::filesystem::path& from, const boost::filesystem::path& to,
                boost::system::error_code error, bool destinationExisted);
