#include "update/system/file_removal.h"

#include <boost/filesystem/exception.hpp>

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace fs = boost::filesystem;

namespace {

fs::filesystem_error removalError(const fs::path& path, int error)
{
    return fs::filesystem_error("boost::filesystem::remove", path,
                                boost::system::error_code(error, boost::system::system_category()));
}

// Removes the entry of the open folder by its name; the first failure is kept and the removal goes on.
void removeEntry(int folder, const fs::path& path, bool isFolder, std::optional<fs::filesystem_error>& failure)
{
    if (::unlinkat(folder, path.filename().c_str(), isFolder ? AT_REMOVEDIR : 0) != 0 && errno != ENOENT && !failure)
        failure = removalError(path, errno);
}

// Empties the open folder, depth first, each entry by its name in its folder: the listing tells
// which entries are folders, so no entry is asked for its status.
void removeContents(int folder, const fs::path& path, std::optional<fs::filesystem_error>& failure)
{
    const int listing = ::dup(folder);
    DIR* entries = listing < 0 ? nullptr : ::fdopendir(listing);
    if (!entries) {
        if (listing >= 0)
            ::close(listing);
        if (!failure)
            failure = removalError(path, errno);
        return;
    }
    // Read whole first: what a listing shows of entries removed meanwhile is left open.
    std::vector<std::pair<std::string, bool>> names;
    while (const dirent* entry = ::readdir(entries)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        bool isFolder = entry->d_type == DT_DIR;
        struct stat info {};
        if (entry->d_type == DT_UNKNOWN && ::fstatat(folder, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0)
            isFolder = S_ISDIR(info.st_mode);
        names.emplace_back(name, isFolder);
    }
    ::closedir(entries);
    for (const auto& [name, isFolder] : names) {
        if (isFolder) {
            const int inner = ::openat(folder, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (inner >= 0) {
                removeContents(inner, path / name, failure);
                ::close(inner);
            }
        }
        removeEntry(folder, path / name, isFolder, failure);
    }
}

}

// A file's mode does not stand in the way of removing one of its names.
void removeFileName(const fs::path& path)
{
    if (::unlink(path.c_str()) != 0 && errno != ENOENT && errno != ENOTDIR)
        throw removalError(path, errno);
}

void removeEmptyFolder(const fs::path& path)
{
    if (::rmdir(path.c_str()) != 0 && errno != ENOENT)
        throw removalError(path, errno);
}

void removeFolderTree(const fs::path& folder)
{
    const int opened = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (opened < 0) {
        if (errno == ENOENT)
            return;
        // A link to a folder goes as a link: what it leads to is not the folder's.
        if (errno == ELOOP || errno == ENOTDIR) {
            removeFileName(folder);
            return;
        }
        throw removalError(folder, errno);
    }
    std::optional<fs::filesystem_error> failure;
    removeContents(opened, folder, failure);
    ::close(opened);
    if (::rmdir(folder.c_str()) != 0 && errno != ENOENT && !failure)
        failure = removalError(folder, errno);
    if (failure)
        throw *failure;
}
