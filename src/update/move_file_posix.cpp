#include "update/move_file.h"

#include <boost/filesystem/operations.hpp>

#include <cerrno>
#include <unistd.h>

namespace fs = boost::filesystem;

bool renameOnVolume(const fs::path& from, const fs::path& to)
{
    boost::system::error_code error;
    fs::rename(from, to, error);
    if (error.value() == EXDEV)
        return false;
    if (error)
        throw fs::filesystem_error("boost::filesystem::rename", from, to, error);
    return true;
}

void replaceKeepingBackup(const fs::path& target, const fs::path& replacement, const fs::path& backup)
{
    if (::link(target.c_str(), backup.c_str()) != 0)
        throw fs::filesystem_error("boost::filesystem::create_hard_link", target, backup,
                                   boost::system::error_code(errno, boost::system::system_category()));
    if (::rename(replacement.c_str(), target.c_str()) != 0) {
        const int error = errno;
        ::unlink(backup.c_str());
        throw fs::filesystem_error("boost::filesystem::rename", replacement, target,
                                   boost::system::error_code(error, boost::system::system_category()));
    }
}
