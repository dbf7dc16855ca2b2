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
        const bool isFolder = fs::is_directory(it->status());
        if (isFolder ? includeFolders : includeFiles)
            entries->push_back(it->path());
    }
    return entries;
}
