#include "update/file_removal.h"

#include <boost/filesystem/operations.hpp>

// A file's mode does not stand in the way of removing one of its names.
void removeFileName(const boost::filesystem::path& path)
{
    boost::filesystem::remove(path);
}
