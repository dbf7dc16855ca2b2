#include "update/move_file.h"

#include "update/delete_now.h"
#include "update/held_file_wait.h"
#include "update/system/disk_flush.h"
#include "update/system/file_removal.h"
#include "update/system/rename.h"

#include <boost/filesystem/operations.hpp>

namespace fs = boost::filesystem;

namespace {

// Renames on one volume; false, having changed nothing, when the two lie on different volumes.
bool renameOnVolume(const fs::path& from, const fs::path& to)
{
    try {
        renameReplacing(from, to);
        return true;
    } catch (const fs::filesystem_error& e) {
        if (isAnotherVolume(e.code()))
            return false;
        throw;
    }
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
        wait.run([&] { renameReplacing(partial, to); });
        named = true;
        // The copy's name must be on the disk before the source goes, or a power cut could keep neither.
        flushFolderToDisk(to.parent_path());
    } catch (const fs::filesystem_error&) {
        deleteNow(named ? to : partial);
        throw;
    }
}

void moveAcross(const fs::path& from, const fs::path& to, const fs::path& partial, HeldFileWait& wait)
{
    if (wait.run([&] { return renameOnVolume(from, to); }))
        return;
    copyWhole(from, to, partial, wait);
    try {
        wait.run([&] { removeFileName(from); });
    } catch (const fs::filesystem_error&) {
        // The source stays (a running program on Windows): the copy would pass for a second original.
        deleteNow(to);
        throw;
    }
}

// Moves what stands at `path` to `aside`; false when nothing stood there, or when it lay on another
// volume than `aside` and was removed instead. A folder is never moved: only files and links are
// what a move replaces.
bool moveAside(const fs::path& path, const fs::path& aside)
{
    boost::system::error_code unknown;
    const fs::file_status status = fs::symlink_status(path, unknown);
    if (!fs::exists(status))
        return false;
    if (fs::is_directory(status))
        throw fs::filesystem_error("boost::filesystem::rename", path,
                                   boost::system::errc::make_error_code(boost::system::errc::is_a_directory));
    if (renameOnVolume(path, aside))
        return true;
    removeFileName(path);
    return false;
}

}

void moveFile(const fs::path& from, const fs::path& to, const MoveRoom& room, HeldFileWait& wait)
{
    if (!room.aside) {
        moveAcross(from, to, room.partial, wait);
        return;
    }
    try {
        HeldFileWait noWaiting(std::chrono::milliseconds(0));
        moveAcross(from, to, room.partial, noWaiting);
    } catch (const fs::filesystem_error&) {
        const fs::path displaced = room.aside();
        const bool movedAside = wait.run([&] { return moveAside(to, displaced); });
        try {
            moveAcross(from, to, room.partial, wait);
        } catch (const fs::filesystem_error&) {
            if (movedAside) {
                try {
                    renameReplacing(displaced, to);
                } catch (const fs::filesystem_error&) {
                }
            }
            throw;
        }
    }
    // A rename between two names of one file changes nothing: the source's name goes with it.
    boost::system::error_code ignored;
    if (fs::exists(fs::symlink_status(from, ignored)))
        wait.run([&] { removeFileName(from); });
}
