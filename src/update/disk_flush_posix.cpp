#include "update/disk_flush.h"

#include <boost/filesystem/exception.hpp>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = boost::filesystem;

namespace {

[[noreturn]] void raise(const char* operation, const fs::path& path, int error)
{
    throw fs::filesystem_error(operation, path, boost::system::error_code(error, boost::system::system_category()));
}

int openForFlush(const fs::path& path, int flags)
{
    const int fd = ::open(path.c_str(), flags | O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        raise("open", path, errno);
    return fd;
}

void flushDescriptor(int fd, const fs::path& path)
{
    const int result = ::fsync(fd);
    const int error = errno;
    ::close(fd);
    if (result != 0)
        raise("fsync", path, error);
}

}

VolumeFlush::VolumeFlush(const fs::path& installFolder)
    : folder_(installFolder), handle_(openForFlush(installFolder, O_DIRECTORY))
{
    struct stat info {};
    if (::fstat(static_cast<int>(handle_), &info) != 0) {
        const int error = errno;
        ::close(static_cast<int>(handle_));
        raise("fstat", installFolder, error);
    }
    device_ = info.st_dev;
}

VolumeFlush::~VolumeFlush()
{
    ::close(static_cast<int>(handle_));
}

bool VolumeFlush::reaches(const fs::path& folder)
{
    if (folder != lastFolder_) {
        struct stat info {};
        // A folder that cannot be asked is treated as another volume: its copies flush themselves.
        lastReached_ = ::stat(folder.c_str(), &info) == 0 && info.st_dev == device_;
        lastFolder_ = folder;
    }
    return lastReached_;
}

void VolumeFlush::flush()
{
    if (::syncfs(static_cast<int>(handle_)) != 0)
        raise("syncfs", folder_, errno);
}

void flushFileToDisk(const fs::path& file)
{
    // fdatasync would leave a grown file's new size to chance on some file systems.
    flushDescriptor(openForFlush(file, O_NOFOLLOW), file);
}

void flushFolderToDisk(const fs::path& folder)
{
    flushDescriptor(openForFlush(folder, O_DIRECTORY), folder);
}
