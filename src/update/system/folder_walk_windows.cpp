#include "update/system/folder_walk.h"

#include <boost/filesystem/operations.hpp>

namespace fs = boost::filesystem;

// The enumeration tells each entry's type and attributes, the read-only one among them.
std::vector<WalkedEntry> walkFolder(const fs::path& folder, const std::function<bool(const fs::path&)>& listWhole)
{
    if (!fs::is_directory(fs::status(folder)))
        throw fs::filesystem_error("boost::filesystem::directory_iterator", folder,
                                   boost::system::errc::make_error_code(boost::system::errc::not_a_directory));
    std::vector<WalkedEntry> files;
    for (fs::recursive_directory_iterator it(folder), end; it != end; ++it) {
        const fs::file_status own = it->symlink_status();
        if (it.depth() == 0 && listWhole(it->path().filename())) {
            files.push_back({it->path(), own, true});
            it.disable_recursion_pending();
        } else if (!fs::is_directory(fs::is_symlink(own) ? it->status() : own)) {
            files.push_back({it->path(), own});
        }
    }
    return files;
}
