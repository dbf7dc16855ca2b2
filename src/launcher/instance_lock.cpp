#include "launcher/instance_lock.h"

#include "launcher/create_empty_file.h"

#include <boost/filesystem/operations.hpp>

#include <sstream>
#include <stdexcept>

namespace fs = boost::filesystem;

namespace {

const fs::path& createIfMissing(const fs::path& lockFile)
{
    const fs::file_status found = fs::symlink_status(lockFile);
    std::ostringstream text;
    if (!fs::exists(found)) {
        // Opening a file that was never made would only report "not found".
        if (const boost::system::error_code error = createEmptyFile(lockFile)) {
            text << "the lock file " << lockFile << " cannot be created: " << error.message();
            throw std::runtime_error(text.str());
        }
    } else if (fs::is_symlink(found) && !fs::exists(fs::status(lockFile))) {
        // The link's target is not created for it, and opening it would only report "not found".
        text << "the lock file " << lockFile << " is a link to a missing file";
        throw std::runtime_error(text.str());
    }
    return lockFile;
}

}

// The file lock opens the file by its native name (wide on Windows), so any install folder name
// works; on Windows it retries a sharing violation three times, 250 ms apart.
InstanceLock::InstanceLock(const fs::path& lockFile)
    : lock_(createIfMissing(lockFile).c_str())
{
    if (!lock_.try_lock())
        throw std::runtime_error("Another instance of this program is already running.");
}
