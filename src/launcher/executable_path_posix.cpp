#include "launcher/install_folder.h"

#include <boost/filesystem/operations.hpp>

// Read once: an update may move the running program into a rollback folder, after which the
// link names that place, yet the install folder is where the program was started from.
boost::filesystem::path executablePath()
{
    static const boost::filesystem::path path = boost::filesystem::read_symlink("/proc/self/exe");
    return path;
}
