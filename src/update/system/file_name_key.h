#pragma once

#include <boost/filesystem/path.hpp>

// The text by which the file system tells paths apart: upper-cased on Windows, whose names ignore
// letter case, the path itself elsewhere. Two paths name the same entry when their keys are equal
// (links and short names aside).
boost::filesystem::path::string_type fileNameKey(const boost::filesystem::path& path);
