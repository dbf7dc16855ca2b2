#include "update/move_file.h"

#include <boost/filesystem/operations.hpp>

#include <cerrno>

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
