#include "update/system/rename.h"

#include <boost/filesystem/exception.hpp>

#include <windows.h>

namespace fs = boost::filesystem;

// Not the library's rename: that one lets MoveFileExW copy across volumes, where a copy that
// takes the destination's name before it is whole, or a source whose deletion fails after a
// reported success, would pass for a backup.
namespace {

[[noreturn]] void raiseRename(const fs::path& from, const fs::path& to, DWORD error)
{
    throw fs::filesystem_error("boost::filesystem::rename", from, to,
                               boost::system::error_code(static_cast<int>(error), boost::system::system_category()));
}

}

void renameReplacing(const fs::path& from, const fs::path& to)
{
    if (!MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING))
        raiseRename(from, to, GetLastError());
}

bool isAnotherVolume(const boost::system::error_code& error)
{
    return error.category() == boost::system::system_category() && error.value() == ERROR_NOT_SAME_DEVICE;
}

void renameNew(const fs::path& from, const fs::path& to)
{
    if (!MoveFileExW(from.c_str(), to.c_str(), 0))
        raiseRename(from, to, GetLastError());
}

void replaceKeepingBackup(const fs::path& target, const fs::path& replacement, const fs::path& backup)
{
    if (!MoveFileExW(target.c_str(), backup.c_str(), 0))
        raiseRename(target, backup, GetLastError());
    if (!MoveFileExW(replacement.c_str(), target.c_str(), 0)) {
        const DWORD error = GetLastError();
        MoveFileExW(backup.c_str(), target.c_str(), 0);
        raiseRename(replacement, target, error);
    }
}
