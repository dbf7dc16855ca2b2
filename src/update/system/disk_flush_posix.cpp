#include "update/system/disk_flush.h"

#include <boost/filesystem/exception.hpp>

#include <cerrno>
#include <fcntl.h>
#include <sys/vfs.h>
#include <unistd.h>

namespace fs = boost::filesystem;

namespace {

// The type a FUSE file system reports, which syncfs hands nothing unless its daemon asks for it.
constexpr long fuseMagic = 0x65735546;

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
    struct statfs info {};
    fuse_ = ::fstatfs(static_cast<int>(handle_), &info) == 0 && info.f_type == fuseMagic;
}

VolumeFlush::~VolumeFlush()
{
    ::close(static_cast<int>(handle_));
}

bool VolumeFlush::flushes() const
{
    return true;
}

void VolumeFlush::flush()
{
    if (::syncfs(static_cast<int>(handle_)) != 0)
        raise("syncfs", folder_, errno);
    // exfat-fuse and ntfs-3g write everything they hold when a folder is flushed.
    if (fuse_ && ::fsync(static_cast<int>(handle_)) != 0)
        raise("fsync", folder_, errno);
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
