#include "launcher/install_folder.h"

#include <boost/filesystem/operations.hpp>

boost::filesystem::path executablePath()
{
    return boost::filesystem::read_symlink("/proc/self/exe");
}
