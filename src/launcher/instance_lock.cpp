#include "launcher/instance_lock.h"

#include <boost/filesystem/operations.hpp>

#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace {

const boost::filesystem::path& createIfMissing(const boost::filesystem::path& lockFile)
{
    if (!boost::filesystem::exists(boost::filesystem::status(lockFile))) {
        // Appending creates the file without ever cutting one that another Launcher just made.
        std::ofstream create(std::filesystem::path(lockFile.native()), std::ios::app);
    }
    return lockFile;
}

}

// The file lock opens the file by its native name (wide on Windows), so any install folder name
// works; on Windows it retries a sharing violation three times, 250 ms apart.
InstanceLock::InstanceLock(const boost::filesystem::path& lockFile)
    : lock_(createIfMissing(lockFile).c_str())
{
    if (!lock_.try_lock())
        throw std::runtime_error("Another instance of this program is already running.");
}
