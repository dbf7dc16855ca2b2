#pragma once

#include <boost/filesystem/path.hpp>

// Full path of the running executable as it was started: an update may move the file since.
boost::filesystem::path executablePath();

// The absolute folder that holds the running executable, computed afresh on every call.
// Raises the file-system library's error when the current directory cannot be read.
boost::filesystem::path installFolder();
