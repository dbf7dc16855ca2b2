#include "update/system/copy_file.h"

#include <boost/filesystem/exception.hpp>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <fstream>
#include <string>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = boost::filesystem;

namespace {

[[noreturn]] void raise(const char* operation, const fs::path& path, int error)
{
    throw fs::filesystem_error(operation, path, boost::system::error_code(error, boost::system::system_category()));
}

// The mask can be read only by setting it; the process's status tells it and leaves it alone.
mode_t processUmask()
{
    static const mode_t mask = [] {
        std::ifstream status("/proc/self/status");
        for (std::string line; std::getline(status, line);)
            if (line.rfind("Umask:", 0) == 0)
                return static_cast<mode_t>(std::stoul(line.substr(6), nullptr, 8));
        return static_cast<mode_t>(022);
    }();
    return mask;
}

// A descriptor closed on every path.
class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;

    int get() const { return fd_; }
    // Closes now, so that an error of the close (a late write error) can be told.
    int close()
    {
        const int result = ::close(fd_);
        fd_ = -1;
        return result;
    }

private:
    int fd_;
};

// Refusals of the kernel's copy that say it does not do this pair of files, not that anything
// failed.
bool refusedAsUnsupported(int error)
{
    return error == EXDEV || error == EINVAL || error == ENOSYS || error == EOPNOTSUPP || error == EPERM ||
           error == EBADF;
}

// Moves `size` bytes from the current offsets on; a source that ends early ends the copy.
void copyData(int from, int to, off_t size, const fs::path& target, CopyFacts& volume)
{
    char buffer[1 << 16];
    while (size > 0) {
        const std::size_t chunk = static_cast<std::size_t>(std::min<off_t>(size, off_t(1) << 30));
        ssize_t copied;
        if (!volume.kernelCopyRefused) {
            copied = ::copy_file_range(from, nullptr, to, nullptr, chunk, 0);
            if (copied < 0 && refusedAsUnsupported(errno)) {
                volume.kernelCopyRefused = true;
                continue;
            }
        } else {
            copied = ::sendfile(to, from, nullptr, chunk);
            if (copied < 0 && (errno == EINVAL || errno == ENOSYS)) {
                const ssize_t read = ::read(from, buffer, std::min(chunk, sizeof buffer));
                copied = read <= 0 ? read : ::write(to, buffer, static_cast<std::size_t>(read));
                if (copied >= 0 && copied < read)
                    raise("write", target, ENOSPC);
            }
        }
        if (copied < 0 && errno == EINTR)
            continue;
        if (copied < 0)
            raise("copy", target, errno);
        if (copied == 0)
            return;
        size -= copied;
    }
}

}

fs::perms copyFileData(const fs::path& source, const fs::path& target, const fs::file_status&, CopyFacts& volume,
                       bool flushNow)
{
    const Descriptor from(::open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (from.get() < 0)
        raise("open", source, errno);
    struct stat info {};
    if (::fstat(from.get(), &info) != 0)
        raise("fstat", source, errno);
    const mode_t mode = info.st_mode & 07777;
    Descriptor to(::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode));
    if (to.get() < 0)
        raise("open", target, errno);
    const mode_t created = mode & ~processUmask();
    try {
        copyData(from.get(), to.get(), info.st_size, target, volume);
        if (!volume.keepsPermissions) {
            struct stat made {};
            if (::fstat(to.get(), &made) != 0)
                raise("fstat", target, errno);
            volume.keepsPermissions = (made.st_mode & 07777) == created;
        }
        // fdatasync would leave a grown file's new size to chance on some file systems.
        if (flushNow && ::fsync(to.get()) != 0)
            raise("fsync", target, errno);
        if (to.close() != 0)
            raise("close", target, errno);
    } catch (const fs::filesystem_error&) {
        // A copy cut short (a full disk) must not stay where the old file stood.
        ::unlink(target.c_str());
        throw;
    }
    return static_cast<fs::perms>(created);
}
