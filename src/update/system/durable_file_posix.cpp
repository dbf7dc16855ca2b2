#include "update/system/durable_file.h"

#include <boost/filesystem/exception.hpp>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace fs = boost::filesystem;

namespace {

[[noreturn]] void raise(const char* operation, const fs::path& file, int error)
{
    throw fs::filesystem_error(operation, file, boost::system::error_code(error, boost::system::system_category()));
}

}

DurableFile::DurableFile(const fs::path& file)
    : file_(file), handle_(::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0644))
{
    if (handle_ < 0)
        raise("create", file_, errno);
}

DurableFile::~DurableFile()
{
    close();
}

void DurableFile::close()
{
    if (handle_ >= 0)
        ::close(static_cast<int>(handle_));
    handle_ = -1;
}

void DurableFile::append(const void* data, std::size_t size)
{
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t written = ::write(static_cast<int>(handle_), bytes, size);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            raise("write", file_, written < 0 ? errno : ENOSPC);
        bytes += written;
        size -= static_cast<std::size_t>(written);
    }
}

void DurableFile::flushToDisk()
{
    if (::fsync(static_cast<int>(handle_)) != 0)
        raise("fsync", file_, errno);
    // The new file's name lives in its folder, which is flushed on its own.
    const int folder = ::open(file_.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0)
        raise("open", file_.parent_path(), errno);
    const int result = ::fsync(folder);
    const int error = errno;
    ::close(folder);
    if (result != 0)
        raise("fsync", file_.parent_path(), error);
}
