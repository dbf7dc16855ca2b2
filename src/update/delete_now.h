#pragma once

#include <boost/filesystem/path.hpp>

// Deletes the file, link or folder tree at path as far as it can at once, never waiting for what
// another program holds: that (the old image of a Launcher that still runs, say) is left for a
// later run. Never raises; true when nothing is left.
bool deleteNow(const boost::filesystem::path& path);
