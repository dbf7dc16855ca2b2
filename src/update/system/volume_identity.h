#pragma once

#include <boost/filesystem/path.hpp>

// The identity of the volume that holds the folder: its device number on Linux, its root folder
// on Windows, as the file system tells names apart. Empty when nothing stands there, or the system
// cannot tell.
boost::filesystem::path::string_type volumeIdentity(const boost::filesystem::path& folder);
