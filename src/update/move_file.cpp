#include "update/move_file.h"

#include "update/disk_flush.h"
#include "update/file_removal.h"
#include "update/held_file_wait.h"

#include <boost/filesystem/operations.hpp>

namespace fs = boost::filesystem;

namespace {

[[noreturn]] void raiseAnotherVolume(const fs::path& from, const fs::path& to)
{
    throw fs::filesystem_error("boost::filesystem::rename", from, to,
                               boost::system::errc::make_error_code(boost::system::errc::cross_device_link));
}

// Leaves a whole copy of the entry under the destination's name, or nothing. The data is copied
// once: only the steps after it are tried again while a file is held.
void copyWhole(const fs::path& from, const fs::path& to, const fs::path& partial, HeldFileWait& wait)
{
    const bool link = fs::is_symlink(fs::symlink_status(from));
    bool named = false;
    try {
        // A source held without read sharing refuses the copy before any data moves.
        wait.run([&] {
            removeFileName(partial);
            if (link)
                fs::copy_symlink(from, partial);
            else
                fs::copy_file(from, partial);
        });
        if (!link)
            wait.run([&] { flushFileToDisk(partial); });
        if (!wait.run([&] { return renameOnVolume(partial, to); }))
            raiseAnotherVolume(partial, to);
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
    copyWhole(from, to, partial, wait);
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
