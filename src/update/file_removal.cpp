#include "update/file_removal.h"

#include "update/held_file_wait.h"

#include <boost/filesystem/operations.hpp>

#include <optional>
#include <vector>

namespace fs = boost::filesystem;

void removeFolderTree(const fs::path& folder, HeldFileWait& wait)
{
    std::vector<fs::path> folders{folder};
    std::vector<fs::path> files;
    for (fs::recursive_directory_iterator it(folder), end; it != end; ++it)
        (fs::is_directory(it->symlink_status()) ? folders : files).push_back(it->path());
    std::optional<fs::filesystem_error> failure;
    const auto remove = [&](const fs::path& path, auto&& removal) {
        wait.nextFile();
        try {
            wait.run([&] { removal(path); });
        } catch (const fs::filesystem_error& e) {
            if (!failure)
                failure = e;
        }
    };
    for (const fs::path& file : files)
        remove(file, [](const fs::path& path) { removeFileName(path); });
    // Inner folders first: each is empty by the time its turn comes.
    for (auto inner = folders.rbegin(); inner != folders.rend(); ++inner)
        remove(*inner, [](const fs::path& path) { fs::remove(path); });
    if (failure)
        throw *failure;
}
