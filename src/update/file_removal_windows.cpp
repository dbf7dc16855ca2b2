#include "update/file_removal.h"

#include "launcher/scoped_handle_windows.h"

#include <boost/filesystem/operations.hpp>

#include <windows.h>

#include <vector>

namespace fs = boost::filesystem;

namespace {

[[noreturn]] void raise(const fs::path& path, DWORD error)
{
    throw fs::filesystem_error("boost::filesystem::remove", path,
                               boost::system::error_code(static_cast<int>(error), boost::system::system_category()));
}

bool isReadOnlyFile(const fs::file_status& status)
{
    return fs::is_regular_file(status) && (status.permissions() & fs::owner_write) == fs::no_perms;
}

bool setAttributes(HANDLE file, FILE_BASIC_INFO basic, DWORD attributes)
{
    basic.FileAttributes = attributes ? attributes : FILE_ATTRIBUTE_NORMAL;
    return SetFileInformationByHandle(file, FileBasicInfo, &basic, sizeof basic);
}

// The attribute is lifted, the name marked for deletion and the attribute put back, all through
// one handle: the name goes when the handle closes, the file and its other names stay as they were.
void removeReadOnlyName(const fs::path& path)
{
    const ScopedHandle file(CreateFileW(path.c_str(), DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file)
        raise(path, GetLastError());
    FILE_BASIC_INFO basic{};
    if (!GetFileInformationByHandleEx(file.get(), FileBasicInfo, &basic, sizeof basic))
        raise(path, GetLastError());
    const DWORD attributes = basic.FileAttributes;
    if (!setAttributes(file.get(), basic, attributes & ~FILE_ATTRIBUTE_READONLY))
        raise(path, GetLastError());
    FILE_DISPOSITION_INFO disposition{TRUE};
    if (!SetFileInformationByHandle(file.get(), FileDispositionInfo, &disposition, sizeof disposition)) {
        const DWORD error = GetLastError();
        setAttributes(file.get(), basic, attributes);
        raise(path, error);
    }
    setAttributes(file.get(), basic, attributes);
}

}

void removeFileName(const fs::path& path)
{
    boost::system::error_code missing;
    if (isReadOnlyFile(fs::symlink_status(path, missing)))
        removeReadOnlyName(path);
    else
        fs::remove(path);
}

void removeFolderTree(const fs::path& folder)
{
    std::vector<fs::path> readOnly;
    boost::system::error_code error;
    for (fs::recursive_directory_iterator it(folder, error), end; !error && it != end; it.increment(error))
        if (isReadOnlyFile(it->symlink_status()))
            readOnly.push_back(it->path());
    for (const fs::path& file : readOnly)
        removeReadOnlyName(file);
    fs::remove_all(folder);
}
