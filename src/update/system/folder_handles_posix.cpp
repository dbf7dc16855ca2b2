#include "update/system/folder_handles.h"

#include "update/system/folder_handles_posix.h"

#include <boost/filesystem/file_status.hpp>
#include <boost/filesystem/exception.hpp>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <string_view>
#include <unordered_map>

namespace fs = boost::filesystem;

namespace {

constexpr int missing = -1;

}

// A few folders at a time: the target's, its backup's and the update's, of the folders in hand.
struct FolderHandles::Kept {
    static constexpr std::size_t mostFolders = 48;
    std::unordered_map<std::string, int> folders;

    void closeAll()
    {
        for (const auto& [path, handle] : folders)
            if (handle != missing)
                ::close(handle);
        folders.clear();
    }
};

namespace {

FolderHandles::Kept* standing = nullptr;

}

FolderHandles::FolderHandles() : kept_(std::make_unique<Kept>())
{
    if (!standing)
        standing = kept_.get();
}

FolderHandles::~FolderHandles()
{
    if (standing == kept_.get())
        standing = nullptr;
    kept_->closeAll();
}

namespace {

// A folder found missing is not asked again for a status, which only learns that nothing stands
// there; a step asks again, having made the folder it places in.
NameAt lookUp(const fs::path& path, bool askMissing)
{
    const NameAt whole{AT_FDCWD, path.c_str()};
    const std::string& text = path.native();
    const std::size_t slash = text.find_last_of('/');
    // Only a plain last element of an absolute path: the current folder is not the Launcher's to
    // rely on, and "." or ".." would make the folder's handle name something else.
    if (!standing || slash == std::string::npos || slash == 0 || text.front() != '/' || slash + 1 == text.size())
        return whole;
    const char* name = text.c_str() + slash + 1;
    if (std::string_view(name) == "." || std::string_view(name) == "..")
        return whole;
    std::string folder = text.substr(0, slash);
    auto [found, added] = standing->folders.try_emplace(std::move(folder), missing);
    if (added || (found->second == missing && askMissing))
        found->second = ::open(found->first.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (found->second == missing)
        return whole;
    return {found->second, name};
}

// Room for `count` more folders, made before any handle of a call is taken.
void makeRoom(std::size_t count)
{
    if (standing && standing->folders.size() + count > FolderHandles::Kept::mostFolders)
        standing->closeAll();
}

}

NameAt nameAt(const fs::path& path)
{
    makeRoom(1);
    return lookUp(path, false);
}

std::pair<NameAt, NameAt> namesAt(const fs::path& first, const fs::path& second)
{
    makeRoom(2);
    const NameAt firstAt = lookUp(first, true);
    return {firstAt, lookUp(second, true)};
}

namespace {

fs::file_type typeOf(mode_t mode)
{
    switch (mode & S_IFMT) {
    case S_IFREG: return fs::regular_file;
    case S_IFDIR: return fs::directory_file;
    case S_IFLNK: return fs::symlink_file;
    case S_IFBLK: return fs::block_file;
    case S_IFCHR: return fs::character_file;
    case S_IFIFO: return fs::fifo_file;
    case S_IFSOCK: return fs::socket_file;
    default: return fs::type_unknown;
    }
}

}

fs::file_status entryStatus(const fs::path& path, boost::system::error_code& error)
{
    const NameAt at = nameAt(path);
    struct statx found {};
    if (::statx(at.folder, at.name, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, STATX_TYPE | STATX_MODE, &found) != 0) {
        const int refused = errno;
        error.assign(refused, boost::system::system_category());
        if (refused == ENOENT || refused == ENOTDIR)
            return fs::file_status(fs::file_not_found, fs::no_perms);
        return fs::file_status(fs::status_error);
    }
    error.clear();
    return fs::file_status(typeOf(found.stx_mode), static_cast<fs::perms>(found.stx_mode & fs::perms_mask));
}

fs::file_status entryStatus(const fs::path& path)
{
    boost::system::error_code error;
    const fs::file_status status = entryStatus(path, error);
    if (status.type() == fs::status_error)
        throw fs::filesystem_error("boost::filesystem::symlink_status", path, error);
    return status;
}

void createHardLink(const fs::path& existing, const fs::path& link, boost::system::error_code& error)
{
    const auto [from, to] = namesAt(existing, link);
    if (::linkat(from.folder, from.name, to.folder, to.name, 0) == 0)
        error.clear();
    else
        error.assign(errno, boost::system::system_category());
}
