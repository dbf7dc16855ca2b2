#include "launcher/create_empty_file.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

boost::system::error_code createEmptyFile(const boost::filesystem::path& file)
{
    // With O_EXCL the call fails on any name that stands; a link of that name is never followed.
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOCTTY | O_CLOEXEC, 0666);
    if (fd < 0)
        return errno == EEXIST ? boost::system::error_code() : boost::system::error_code(errno, boost::system::system_category());
    ::close(fd);
    return {};
}
