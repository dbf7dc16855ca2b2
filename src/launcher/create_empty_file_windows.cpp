#include "launcher/create_empty_file.h"

#include <windows.h>

boost::system::error_code createEmptyFile(const boost::filesystem::path& file)
{
    // CREATE_NEW alone would follow a symbolic link to a missing file and create its target;
    // opened as itself, the link is a name that stands and the call fails.
    const HANDLE handle = CreateFileW(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS)
            return {};
        return boost::system::error_code(static_cast<int>(error), boost::system::system_category());
    }
    CloseHandle(handle);
    return {};
}
