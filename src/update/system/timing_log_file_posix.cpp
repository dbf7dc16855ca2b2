#include "update/system/timing_log_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

namespace {

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    explicit operator bool() const { return fd_ >= 0; }
    int get() const { return fd_; }

private:
    int fd_;
};

[[noreturn]] void raiseSystemError(const char* call)
{
    throw std::runtime_error(std::string(call) + ": " + std::strerror(errno));
}

}

void replaceTimingLogFile(const boost::filesystem::path& file, std::string_view text)
{
    // Anyone who can write to the current directory could plant the name: O_NOFOLLOW refuses a
    // link, a dangling one included, and O_NONBLOCK makes a pipe without a reader fail at once
    // rather than wait for one. Nothing is cut before the file is known to be an ordinary file.
    const FileDescriptor log(
        ::open(file.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666));
    if (!log)
        raiseSystemError("open");
    struct stat info {};
    if (::fstat(log.get(), &info) != 0)
        raiseSystemError("fstat");
    // A second name redirects the write as well as a link would.
    if (!S_ISREG(info.st_mode) || info.st_nlink != 1)
        throw std::runtime_error("not an ordinary file of one name");
    if (::ftruncate(log.get(), 0) != 0)
        raiseSystemError("ftruncate");
    while (!text.empty()) {
        const ssize_t written = ::write(log.get(), text.data(), text.size());
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return;
        text.remove_prefix(static_cast<std::size_t>(written));
    }
}
