#pragma once

#include <boost/filesystem/path.hpp>

#include <cstddef>
#include <string>

// The whole content of a regular file, as raw bytes, opened by its native name. Raises a runtime
// error naming the file and the reason when it is not a regular file (a folder, a pipe, a
// device), holds more than maxBytes, or cannot be opened or read.
std::string readFileBytes(const boost::filesystem::path& file, std::size_t maxBytes);
