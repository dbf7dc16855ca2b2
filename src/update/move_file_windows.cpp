#include "update/move_file.h"

#include <boost/filesystem/operations.hpp>

// The library's rename is MoveFileExW with MOVEFILE_COPY_ALLOWED, which already copies and
// deletes across volumes.
void moveFile(const boost::filesystem::path& from, const boost::filesystem::path& to)
{
    boost::filesystem::rename(from, to);
}
