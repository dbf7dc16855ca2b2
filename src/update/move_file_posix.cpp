#include "update/move_file.h"

#include <boost/filesystem/operations.hpp>

#include <cerrno>

namespace fs = boost::filesystem;

void moveFile(const fs::path& from, const fs::path& to)
{
    boost::system::error_code error;
    fs::rename(from, to, error);
    if (!error)
        return;
    if (error.value() != EXDEV)
        throw fs::filesystem_error("boost::filesystem::rename", from, to, error);

    // rename cannot cross file systems (a folder of the install tree may be a mount point). Until
    // the source is gone the move has not happened: a copy left behind would pass for a second
    // original.
    try {
        if (fs::is_symlink(fs::symlink_status(from))) {
            fs::remove(to);
            fs::copy_symlink(from, to);
        } else {
            fs::copy_file(from, to, fs::copy_options::overwrite_existing);
            fs::permissions(to, fs::status(from).permissions());
        }
        fs::remove(from);
    } catch (const fs::filesystem_error&) {
        boost::system::error_code ignored;
        fs::remove(to, ignored);
        throw;
    }
}
