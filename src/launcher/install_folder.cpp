#include "launcher/install_folder.h"

#include <boost/filesystem/operations.hpp>

boost::filesystem::path installFolder()
{
    const boost::filesystem::path executable = executablePath();
    const boost::filesystem::path current = boost::filesystem::current_path();
    return boost::filesystem::absolute(executable.parent_path(), current);
}
