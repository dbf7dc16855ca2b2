#include "update/system/folder_walk.h"

#include <boost/filesystem/exception.hpp>

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = boost::filesystem;

namespace {

[[noreturn]] void raise(const char* operation, const fs::path& path, int error)
{
    throw fs::filesystem_error(operation, path, boost::system::error_code(error, boost::system::system_category()));
}

fs::file_type typeOf(unsigned char direntType, mode_t mode)
{
    if (direntType == DT_REG || (direntType == DT_UNKNOWN && S_ISREG(mode)))
        return fs::regular_file;
    if (direntType == DT_DIR || (direntType == DT_UNKNOWN && S_ISDIR(mode)))
        return fs::directory_file;
    if (direntType == DT_LNK || (direntType == DT_UNKNOWN && S_ISLNK(mode)))
        return fs::symlink_file;
    return fs::type_unknown;
}

// Lists the open folder's entries in the order the file system gives them, each folder's tree
// right where the folder is met. The listing tells each entry's type, so only a link is asked
// whether it leads to a folder, which is left out and not walked; a file system that does not tell
// types is asked for each entry.
void listFolder(int folder, const fs::path& path, const std::function<bool(const fs::path&)>* listWhole,
                std::vector<WalkedEntry>& files)
{
    DIR* entries = ::fdopendir(folder);
    if (!entries) {
        const int error = errno;
        ::close(folder);
        raise("boost::filesystem::directory_iterator", path, error);
    }
    std::vector<std::pair<std::string, unsigned char>> names;
    errno = 0;
    while (const dirent* entry = ::readdir(entries)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..")
            names.emplace_back(name, entry->d_type);
        errno = 0;
    }
    const int error = errno;
    if (error != 0) {
        ::closedir(entries);
        raise("boost::filesystem::directory_iterator", path, error);
    }
    try {
        for (const auto& [name, direntType] : names) {
            const fs::path entryPath = path / name;
            struct stat info {};
            if (direntType == DT_UNKNOWN && ::fstatat(::dirfd(entries), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0)
                raise("boost::filesystem::symlink_status", entryPath, errno);
            const fs::file_type type = typeOf(direntType, info.st_mode);
            if (listWhole && (*listWhole)(fs::path(name))) {
                files.push_back({entryPath, fs::file_status(type), true});
            } else if (type == fs::directory_file) {
                const int inner = ::openat(::dirfd(entries), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
                if (inner < 0)
                    raise("boost::filesystem::directory_iterator", entryPath, errno);
                listFolder(inner, entryPath, nullptr, files);
            } else if (type != fs::symlink_file ||
                       ::fstatat(::dirfd(entries), name.c_str(), &info, 0) != 0 || !S_ISDIR(info.st_mode)) {
                files.push_back({entryPath, fs::file_status(type)});
            }
        }
    } catch (...) {
        ::closedir(entries);
        throw;
    }
    ::closedir(entries);
}

}

std::vector<WalkedEntry> walkFolder(const fs::path& folder, const std::function<bool(const fs::path&)>& listWhole)
{
    const int opened = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (opened < 0)
        raise("boost::filesystem::directory_iterator", folder, errno);
    std::vector<WalkedEntry> files;
    listFolder(opened, folder, &listWhole, files);
    return files;
}
