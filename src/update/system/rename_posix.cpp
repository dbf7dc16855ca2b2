#include "update/system/rename.h"

#include "update/system/disk_flush.h"
#include "update/system/folder_handles_posix.h"

#include <boost/filesystem/operations.hpp>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace fs = boost::filesystem;

namespace {

fs::filesystem_error systemError(const char* operation, const fs::path& from, const fs::path& to, int error)
{
    return fs::filesystem_error(operation, from, to, boost::system::error_code(error, boost::system::system_category()));
}

int renameAt(const fs::path& from, const fs::path& to, unsigned flags)
{
    const auto [source, target] = namesAt(from, to);
    if (flags == 0)
        return ::renameat(source.folder, source.name, target.folder, target.name);
    return ::renameat2(source.folder, source.name, target.folder, target.name, flags);
}

}

void renameReplacing(const fs::path& from, const fs::path& to)
{
    if (renameAt(from, to, 0) != 0)
        throw systemError("boost::filesystem::rename", from, to, errno);
}

bool isAnotherVolume(const boost::system::error_code& error)
{
    return error == boost::system::errc::cross_device_link;
}

void renameNew(const fs::path& from, const fs::path& to)
{
    if (renameAt(from, to, RENAME_NOREPLACE) == 0)
        return;
    // A volume that cannot tell (exfat-fuse, for one) gets a look first: nothing stood there a
    // moment ago, and only this run writes in the install folder.
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP)
        throw systemError("boost::filesystem::rename", from, to, errno);
    if (fs::exists(fs::symlink_status(to)))
        throw systemError("boost::filesystem::rename", from, to, EEXIST);
    renameReplacing(from, to);
}

// A second name keeps a program at the target throughout. A volume without links (exFAT, FAT, a
// share) gets a copy of it as the backup instead, whole on the disk before the replacement takes
// the target's name in one rename: a power cut must not leave a backup that is not whole to be
// put back over the new program.
void replaceKeepingBackup(const fs::path& target, const fs::path& replacement, const fs::path& backup)
{
    if (::link(target.c_str(), backup.c_str()) != 0) {
        try {
            fs::copy_file(target, backup);
            flushFileToDisk(backup);
        } catch (const fs::filesystem_error&) {
            ::unlink(backup.c_str());
            throw;
        }
    }
    if (::rename(replacement.c_str(), target.c_str()) != 0) {
        const int error = errno;
        ::unlink(backup.c_str());
        throw systemError("boost::filesystem::rename", replacement, target, error);
    }
}
