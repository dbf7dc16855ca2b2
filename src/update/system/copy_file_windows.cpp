#include "update/system/copy_file.h"

#include "update/system/disk_flush.h"

#include <boost/filesystem/operations.hpp>

namespace fs = boost::filesystem;

// CopyFileExW does the fast and the plain way alike, and copies the attributes: the read-only one,
// the only permission a Windows file has, stays as the walk saw it on the source.
fs::perms copyFileData(const fs::path& source, const fs::path& target, const fs::file_status& sourceStatus,
                       CopyFacts& volume, bool flushNow)
{
    try {
        fs::copy_file(source, target, fs::copy_options::none);
        if (flushNow)
            flushFileToDisk(target);
    } catch (const fs::filesystem_error& e) {
        // A copy cut short (a full disk) must not stay where the old file stood; what stood at the
        // target before is not the copy's.
        if (e.code() != boost::system::errc::file_exists) {
            boost::system::error_code ignored;
            fs::remove(target, ignored);
        }
        throw;
    }
    volume.keepsPermissions = true;
    return sourceStatus.permissions() & fs::perms_mask;
}
