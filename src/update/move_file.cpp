#include "update/move_file.h"

#include "update/disk_flush.h"
#include "update/file_removal.h"
#include "update/held_file_wait.h"

#include <boost/filesystem/operations.hpp>

namespace fs = boost::filesystem;

namespace {

// Leaves a whole copy of the entry under the destination's name, or nothing.
void copyWhole(const fs::path& from, const fs::path& to, const fs::path& partial)
{
    bool named = false;
    try {
        removeFileName(partial);
        if (fs::is_symlink(fs::symlink_status(from))) {
            fs::copy_symlink(from, partial);
        } else {
            fs::copy_file(from, partial);
            flushFileToDisk(partial);
        }
        if (!renameOnVolume(partial, to))
            throw fs::filesystem_error("boost::filesystem::rename", partial, to,
                                       boost::system::errc::make_error_code(boost::system::errc::cross_device_link));
        named = true;
        // The copy's name must be on the disk before the source goes, or a power cut could keep neither.
        flushFolderToDisk(to.parent_path());
    } catch (const fs::filesystem_error&) {
        boost::system::error_code ignored;
        fs::remove(named ? to : partial, ignored);
        throw;
    }
}

}

void moveFile(const fs::path& from, const fs::path& to, const fs::path& partial, HeldFileWait& wait)
{
    if (wait.run([&] { return renameOnVolume(from, to); }))
        return;
    // A source held without read sharing refuses the copy before any data moves.
    wait.run([&] { copyWhole(from, to, partial); });
    try {
        wait.run([&] { removeFileName(from); });
    } catch (const fs::filesystem_error&) {
        // The source stays (a running program on Windows): the copy would pass for a second original.
        try {
            removeFileName(to);
        } catch (const fs::filesystem_error&) {
        }
        throw;
    }
}
