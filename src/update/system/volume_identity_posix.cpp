#include "update/system/volume_identity.h"

#include <sys/stat.h>

#include <string>

boost::filesystem::path::string_type volumeIdentity(const boost::filesystem::path& folder)
{
    struct stat info {};
    if (::stat(folder.c_str(), &info) != 0)
        return {};
    return std::to_string(info.st_dev);
}
