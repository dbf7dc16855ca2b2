#pragma once

#include <boost/filesystem/path.hpp>


// Removes the file or link at path, if anything stands there. On Windows the name goes at once,
// even while another program holds the file (POSIX semantics, where the system has them), and a
// read-only attribute stays as it was: it belongs to the file, not to the name, so a file that keeps
// another name (a hard link an update installed) keeps its attributes. Raises
// boost::filesystem::filesystem_error.
void removeFileName(const boost::filesystem::path& path);

// Removes the empty folder at path, if anything stands there. Raises
// boost::filesystem::filesystem_error.
void removeEmptyFolder(const boost::filesystem::path& path);

// Removes the folder and everything in it, each entry with removeFileName, without waiting for an
// entry that another program holds; a file or a link at the path goes as such. Goes on past an
// entry that cannot be removed and raises the first failure at the end, as
// boost::filesystem::filesystem_error.
void removeFolderTree(const boost::filesystem::path& folder);
