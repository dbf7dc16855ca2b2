#pragma once

#include <boost/filesystem/path.hpp>

// Removes the file or link at path, if anything stands there. Removing a read-only file on Windows
// takes lifting its attribute, which belongs to the file and not to the name: a file that keeps
// another name (a hard link an update installed) keeps its attributes all the same. Raises
// boost::filesystem::filesystem_error.
void removeFileName(const boost::filesystem::path& path);

// Removes the folder and everything in it, with the same care for files that keep another name.
// Raises boost::filesystem::filesystem_error.
void removeFolderTree(const boost::filesystem::path& folder);
