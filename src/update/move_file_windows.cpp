#include "update/move_file.h"

#include <boost/filesystem/operations.hpp>

namespace fs = boost::filesystem;

// The library's rename is MoveFileExW with MOVEFILE_COPY_ALLOWED, which copies and deletes
// across volumes. The delete fails for a read-only file, leaving the move undone, so the
// attribute is lifted for the move and put back wherever the file ends up.
void moveFile(const fs::path& from, const fs::path& to)
{
    const fs::file_status status = fs::symlink_status(from);
    const bool readOnly = fs::is_regular_file(status) && (status.permissions() & fs::owner_write) == fs::no_perms;
    boost::system::error_code ignored;
    const bool destinationExisted = fs::exists(fs::symlink_status(to, ignored));
    if (readOnly)
        fs::permissions(from, fs::perms::add_perms | fs::perms::owner_write);

    boost::system::error_code error;
    fs::rename(from, to, error);
    try {
        settleMove(from, to, error, destinationExisted);
    } catch (const fs::filesystem_error&) {
        if (readOnly)
            fs::permissions(from, fs::perms::remove_perms | fs::perms::all_all, ignored);
        throw;
    }
    // Once moved the file must not be reported as unmoved: a lost attribute is the lesser harm.
    if (readOnly)
        fs::permissions(to, fs::perms::remove_perms | fs::perms::all_all, ignored);
}
