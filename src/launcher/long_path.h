#pragma once

#include <boost/filesystem/path.hpp>

#include <string>

// The form of an absolute path that the system's file calls take at any length: on Windows
// "\\?\" before a drive path and "\\?\UNC\" for a share, which also spares the system its parsing
// (no "." or ".." and no trailing dots are removed). Any other path, and every path elsewhere, is
// returned as it is. Paths joined to the result keep its form.
boost::filesystem::path longPathForm(const boost::filesystem::path& path);

// Text that names paths in their long form (diagnostic lines, messages) with the plain form the
// user knows instead.
std::string plainPathText(std::string text);
