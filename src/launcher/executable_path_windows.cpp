#include "launcher/install_folder.h"

#include <windows.h>

#include <vector>

boost::filesystem::path executablePath()
{
    // Grow the buffer until the whole name fits: an install folder may be deeper than MAX_PATH.
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        const DWORD size = static_cast<DWORD>(buffer.size());
        const DWORD length = GetModuleFileNameW(GetModuleHandleW(nullptr), buffer.data(), size);
        if (length < size || buffer.size() >= 32768)
            return boost::filesystem::path(buffer.data(), buffer.data() + length);
        buffer.resize(buffer.size() * 2);
    }
}
