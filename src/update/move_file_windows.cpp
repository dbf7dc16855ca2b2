#include "update/move_file.h"

#include <boost/filesystem/operations.hpp>

namespace fs = boost::filesystem;

// The library's rename is MoveFileExW with MOVEFILE_COPY_ALLOWED, which copies and deletes
// across volumes. The delete fails for a read-only file, leaving a copy behind and the move
// undone, so the attribute is lifted for the move and put back wherever the file ends up.
void moveFile(const fs::path& from, const fs::path& to)
{
    const fs::file_status status = fs::symlink_status(from);
    const bool readOnly = fs::is_regular_file(status) && (status.permissions() & fs::owner_write) == fs::no_perms;
    if (!readOnly) {
        fs::rename(from, to);
        return;
    }

    boost::system::error_code error;
    const bool destinationExisted = fs::exists(fs::symlink_status(to, error));
    fs::permissions(from, fs::perms::add_perms | fs::perms::owner_write);
    try {
        fs::rename(from, to);
    } catch (const fs::filesystem_error&) {
        boost::system::error_code ignored;
        if (!destinationExisted && fs::exists(from, ignored))
            fs::remove(to, ignored);
        fs::permissions(from, fs::perms::remove_perms | fs::perms::all_all, ignored);
        throw;
    }
    fs::permissions(to, fs::perms::remove_perms | fs::perms::all_all);
}
