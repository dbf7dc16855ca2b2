#pragma once

#include <boost/filesystem/file_status.hpp>
#include <boost/filesystem/path.hpp>

#include <functional>
#include <vector>

// An entry of a folder's walk: a file or link, or a top-level entry listed whole.
struct WalkedEntry {
    boost::filesystem::path path;
    boost::filesystem::file_status status;
    bool wholeTopLevel = false;
};

// The files and links below the folder in the order the file system lists them, each folder's
// tree right where the folder is met, with what the listing tells of each (its type; on Windows
// its attributes too). Folders, and links that lead to folders, are left out and not walked. A
// top-level entry whose name `listWhole` takes is listed itself, whatever it is, and not walked.
// Raises boost::filesystem::filesystem_error; a folder that is missing or not a folder raises an
// error equal to boost::system::errc::not_a_directory or no_such_file_or_directory.
std::vector<WalkedEntry> walkFolder(const boost::filesystem::path& folder,
                                    const std::function<bool(const boost::filesystem::path& name)>& listWhole);
