#include "update/system/file_name_key.h"

boost::filesystem::path::string_type fileNameKey(const boost::filesystem::path& path)
{
    return path.native();
}
