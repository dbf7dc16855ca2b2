#pragma once

#include <boost/filesystem/path.hpp>

#include <memory>
#include <vector>

using PathList = std::shared_ptr<std::vector<boost::filesystem::path>>;

// Every entry below the folder, recursively, in walk order; a folder comes before its contents.
// Each path begins with the folder's text exactly as given. Symbolic links are followed to
// decide whether an entry is a folder, but never walked into. Raises "Invalid folder" when the
// folder is missing or not a folder, and the file-system library's errors of the walk.
PathList listFolderEntries(boost::filesystem::path folder, bool includeFiles, bool includeFolders);
