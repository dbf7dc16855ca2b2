#pragma once

#include <boost/filesystem/path.hpp>
#include <boost/system/error_code.hpp>

// Creates an empty file when nothing stands at its name, and never through a link: whatever stands
// there, a link to a missing file included, is left as it is. Returns why the file could not be
// created, or nothing when it was, or when something stands there.
boost::system::error_code createEmptyFile(const boost::filesystem::path& file);
