#include "launcher/read_file.h"

#include <boost/filesystem/operations.hpp>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>

namespace {

[[noreturn]] void raiseReadError(const boost::filesystem::path& file, const std::string& reason)
{
    std::ostringstream text;
    text << "error reading " << file << ": " << reason;
    throw std::runtime_error(text.str());
}

std::string systemReason()
{
    return std::generic_category().message(errno ? errno : EIO);
}

}

std::string readFileBytes(const boost::filesystem::path& file, std::size_t maxBytes)
{
    // Checked before the open: a folder opens like a file on POSIX, and a pipe or a device would
    // block the open or never end.
    const boost::filesystem::file_status status = boost::filesystem::status(file);
    if (boost::filesystem::is_directory(status))
        raiseReadError(file, "it is a folder");
    if (!boost::filesystem::is_regular_file(status))
        raiseReadError(file, "it is not a regular file");

    errno = 0;
    std::ifstream in(std::filesystem::path(file.native()), std::ios::binary);
    if (!in)
        raiseReadError(file, systemReason());
    std::string content;
    char buffer[1 << 16];
    while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
        const auto count = static_cast<std::size_t>(in.gcount());
        if (count > maxBytes - content.size())
            raiseReadError(file, "it is larger than " + std::to_string(maxBytes >> 20) + " MiB");
        content.append(buffer, count);
    }
    if (in.bad())
        raiseReadError(file, systemReason());
    return content;
}
