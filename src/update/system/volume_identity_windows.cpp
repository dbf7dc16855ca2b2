#include "update/system/volume_identity.h"

#include "update/system/file_name_key.h"

#include <windows.h>

#include <string>

// The root folder of the volume ("C:\", or the folder a volume is mounted on).
boost::filesystem::path::string_type volumeIdentity(const boost::filesystem::path& folder)
{
    // The volume's root is told for any path, standing or not.
    if (GetFileAttributesW(folder.c_str()) == INVALID_FILE_ATTRIBUTES)
        return {};
    std::wstring root(folder.native().size() + MAX_PATH, L'\0');
    if (!GetVolumePathNameW(folder.c_str(), root.data(), static_cast<DWORD>(root.size())))
        return {};
    root.resize(wcslen(root.c_str()));
    return fileNameKey(root);
}
