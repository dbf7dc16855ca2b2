#pragma once

#include <boost/filesystem/path.hpp>

// Full path of the running executable, as the system reports it.
boost::filesystem::path executablePath();

// The absolute folder that holds the running executable, computed afresh on every call.
// Raises the file-system library's error when the current directory cannot be read.
boost::filesystem::path installFolder();
