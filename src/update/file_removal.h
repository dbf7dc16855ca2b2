#pragma once

#include <boost/filesystem/path.hpp>

class HeldFileWait;

// Removes the file or link at path, if anything stands there. On Windows the name goes at once,
// even while another program holds the file (POSIX semantics, where the system has them), and a
// read-only attribute stays as it was: it belongs to the file, not to the name, so a file that keeps
// another name (a hard link an update installed) keeps its attributes. Raises
// boost::filesystem::filesystem_error.
void removeFileName(const boost::filesystem::path& path);

// Removes the empty folder at path, if anything stands there. Raises
// boost::filesystem::filesystem_error.
void removeEmptyFolder(const boost::filesystem::path& path);

// Removes the folder and everything in it, each entry with removeFileName, waiting out entries
// held for a moment. Goes on past an entry that cannot be removed and raises the first failure at
// the end, as boost::filesystem::filesystem_error.
void removeFolderTree(const boost::filesystem::path& folder, HeldFileWait& wait);
