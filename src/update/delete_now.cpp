#include "update/delete_now.h"

#include "update/system/file_removal.h"

bool deleteNow(const boost::filesystem::path& path)
{
    try {
        removeFolderTree(path);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}
