#include "update/system/folder_handles.h"

#include <boost/filesystem/operations.hpp>

namespace fs = boost::filesystem;

// Windows keeps no handles: an open folder would stand in the way of renaming or removing it,
// by this run and by any other program.
struct FolderHandles::Kept {
};

FolderHandles::FolderHandles() = default;

FolderHandles::~FolderHandles() = default;

fs::file_status entryStatus(const fs::path& path, boost::system::error_code& error)
{
    return fs::symlink_status(path, error);
}

fs::file_status entryStatus(const fs::path& path)
{
    return fs::symlink_status(path);
}

void createHardLink(const fs::path& existing, const fs::path& link, boost::system::error_code& error)
{
    fs::create_hard_link(existing, link, error);
}
