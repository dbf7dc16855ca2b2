#pragma once

#include <boost/filesystem/path.hpp>

// Moves a file or symbolic link, replacing a file at the destination. Works across volumes and
// file systems: there the entry is copied (contents, permissions, link text) and then removed.
// Raises boost::filesystem::filesystem_error.
void moveFile(const boost::filesystem::path& from, const boost::filesystem::path& to);
