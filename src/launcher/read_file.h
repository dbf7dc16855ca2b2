#pragma once

#include <boost/filesystem/path.hpp>

#include <string>

// The whole content of a file, as raw bytes, opened by its native name. Raises a runtime error
// naming the file and the system's reason when it cannot be opened or read (a folder included).
std::string readFileBytes(const boost::filesystem::path& file);
