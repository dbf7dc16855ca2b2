#include "launcher/folder_listing.h"

#include <boost/filesystem/operations.hpp>

#include <stdexcept>

PathList listFolderEntries(boost::filesystem::path folder, bool includeFiles, bool includeFolders)
{
    namespace fs = boost::filesystem;
    auto entries = std::make_shared<std::vector<fs::path>>();
    if (!fs::is_directory(fs::status(folder)))
        throw std::runtime_error("Invalid folder");
    for (fs::recursive_directory_iterator it(folder), end; it != end; ++it) {
        // The walk has the entry's own status already; only a link needs another look.
        const fs::file_status own = it->symlink_status();
        const bool isFolder = fs::is_directory(fs::is_symlink(own) ? it->status() : own);
        if (isFolder ? includeFolders : includeFiles)
            entries->push_back(it->path());
    }
    return entries;
}
