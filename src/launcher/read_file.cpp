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

}

std::string readFileBytes(const boost::filesystem::path& file)
{
    // Checked first: on POSIX a folder opens like a file and only its reads fail.
    if (boost::filesystem::is_directory(boost::filesystem::status(file)))
        raiseReadError(file, "it is a folder");

    errno = 0;
    std::ifstream in(std::filesystem::path(file.native()), std::ios::binary);
    if (!in)
        raiseReadError(file, std::generic_category().message(errno ? errno : EIO));
    std::ostringstream content;
    content << in.rdbuf();
    if (in.bad())
        raiseReadError(file, std::generic_category().message(errno ? errno : EIO));
    return content.str();
}
