#include "update/move_file.h"

#include <boost/filesystem/operations.hpp>

namespace fs = boost::filesystem;

void settleMove(const fs::path& from, const fs::path& to, boost::system::error_code error,
                bool destinationExisted)
{
    boost::system::error_code ignored;
    const bool sourceStayed = fs::exists(fs::symlink_status(from, ignored));
    if (!error && !sourceStayed)
        return;
    // Windows reports success for a move across volumes whose copy worked but whose delete did
    // not; Wine reports the failure but keeps the copy. Either way the copy is a second original.
    const bool claimedSuccess = !error;
    if (sourceStayed && (claimedSuccess || !destinationExisted))
        fs::remove(to, ignored);
    if (claimedSuccess)
        error = boost::system::errc::make_error_code(boost::system::errc::device_or_resource_busy);
    throw fs::filesystem_error("boost::filesystem::rename", from, to, error);
}
