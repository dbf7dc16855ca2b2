#include "update/update_plan.h"

#include "launcher/update_folders.h"

#include <boost/filesystem/operations.hpp>

#include <stdexcept>

namespace fs = boost::filesystem;

// The enumeration tells each entry's type and attributes, the read-only one among them.
std::vector<ListedFile> listUpdateFiles(const fs::path& updateFolder)
{
    if (!fs::is_directory(fs::status(updateFolder)))
        throw std::runtime_error("Invalid folder");
    std::vector<ListedFile> files;
    for (fs::recursive_directory_iterator it(updateFolder), end; it != end; ++it) {
        const fs::file_status own = it->symlink_status();
        if (it.depth() == 0 && isLaunchersOwnName(it->path().filename())) {
            // An update must not plant files where the Launcher keeps its own, nor a second update.
            files.push_back({it->path(), own, true});
            it.disable_recursion_pending();
        } else if (!fs::is_directory(fs::is_symlink(own) ? it->status() : own)) {
            files.push_back({it->path(), own});
        }
    }
    return files;
}
