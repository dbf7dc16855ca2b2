#pragma once

#include <boost/filesystem/path.hpp>

// Creates an empty file when nothing stands at its name, and never through a link: whatever stands
// there, a link to a missing file included, is left as it is. A failure is not raised; opening
// the file afterwards reports it.
void createEmptyFile(const boost::filesystem::path& file);
