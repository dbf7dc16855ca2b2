#include "update/move_file.h"

#include "update/disk_flush.h"
#include "update/file_removal.h"

#include <boost/filesystem/operations.hpp>

namespace fs = boost::filesystem;

namespace {

void copyWhole(const fs::path& from, const fs::path& partial)
{
    removeFileName(partial);
    if (fs::is_symlink(fs::symlink_status(from))) {
        fs::copy_symlink(from, partial);
        return;
    }
    fs::copy_file(from, partial);
    flushFileToDisk(partial);
}

}

void moveFile(const fs::path& from, const fs::path& to, const fs::path& partial)
{
    if (renameOnVolume(from, to))
        return;
    try {
        copyWhole(from, partial);
        if (!renameOnVolume(partial, to))
            throw fs::filesystem_error("boost::filesystem::rename", partial, to,
                                       boost::system::errc::make_error_code(boost::system::errc::cross_device_link));
        // The copy's name must be on the disk before the source goes, or a power cut could keep neither.
        flushFolderToDisk(to.parent_path());
    } catch (const fs::filesystem_error&) {
        boost::system::error_code ignored;
        fs::remove(partial, ignored);
        throw;
    }
    try {
        removeFileName(from);
    } catch (const fs::filesystem_error&) {
        // The source stays (a running program on Windows): the copy would pass for a second original.
        try {
            removeFileName(to);
        } catch (const fs::filesystem_error&) {
        }
        throw;
    }
}
