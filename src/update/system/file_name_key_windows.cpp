#include "update/system/file_name_key.h"

#include <windows.h>

// The invariant upper-case mapping is the one NTFS applies to names; it maps each UTF-16 unit on
// its own, so the length never changes.
boost::filesystem::path::string_type fileNameKey(const boost::filesystem::path& path)
{
    std::wstring key = path.native();
    if (!key.empty())
        LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, path.c_str(), static_cast<int>(key.size()), key.data(),
                      static_cast<int>(key.size()), nullptr, nullptr, 0);
    return key;
}
