#include "update/system/file_removal.h"

#include "update/system/scoped_handle_windows.h"

#include <boost/filesystem/operations.hpp>

#include <windows.h>

#include <optional>
#include <vector>


namespace fs = boost::filesystem;

namespace {

// From Windows 10 1709 on; the headers name them only for builds that require it, as the Launcher
// does not.
constexpr auto fileDispositionInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
constexpr DWORD deleteAtOnceIgnoringReadOnly = 0x1 | 0x2 | 0x10; // delete, POSIX semantics, ignore read-only

[[noreturn]] void raise(const fs::path& path, DWORD error)
{
    throw fs::filesystem_error("boost::filesystem::remove", path,
                               boost::system::error_code(static_cast<int>(error), boost::system::system_category()));
}

bool refusedAsUnsupported(DWORD error)
{
    return error == ERROR_INVALID_PARAMETER || error == ERROR_INVALID_FUNCTION || error == ERROR_NOT_SUPPORTED ||
           error == ERROR_CALL_NOT_IMPLEMENTED;
}

bool setAttributes(HANDLE file, FILE_BASIC_INFO basic, DWORD attributes)
{
    basic.FileAttributes = attributes ? attributes : FILE_ATTRIBUTE_NORMAL;
    return SetFileInformationByHandle(file, FileBasicInfo, &basic, sizeof basic);
}

// Where the system cannot delete with POSIX semantics (before Windows 10 1709, and Wine): the name
// is marked for deletion, which takes lifting a read-only attribute first; the attribute belongs
// to the file, not the name, so it is put back through the same handle, for the file's other names.
DWORD markForDeletion(HANDLE file)
{
    FILE_DISPOSITION_INFO disposition{TRUE};
    if (SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition))
        return ERROR_SUCCESS;
    const DWORD refused = GetLastError();
    FILE_BASIC_INFO basic{};
    if (refused != ERROR_ACCESS_DENIED || !GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof basic) ||
        !(basic.FileAttributes & FILE_ATTRIBUTE_READONLY))
        return refused;
    if (!setAttributes(file, basic, basic.FileAttributes & ~FILE_ATTRIBUTE_READONLY))
        return GetLastError();
    const DWORD error = SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition)
                            ? ERROR_SUCCESS
                            : GetLastError();
    setAttributes(file, basic, basic.FileAttributes);
    return error;
}

}

// With POSIX semantics the name goes at once, even while a scanner still holds the file, so that
// it can be taken again right away; the read-only attribute is ignored rather than lifted.
void removeFileName(const fs::path& path)
{
    const ScopedHandle file(CreateFileW(path.c_str(), DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!file) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
            return;
        raise(path, error);
    }
    FILE_DISPOSITION_INFO_EX disposition{deleteAtOnceIgnoringReadOnly};
    if (SetFileInformationByHandle(file.get(), fileDispositionInfoEx, &disposition, sizeof disposition))
        return;
    DWORD error = GetLastError();
    if (refusedAsUnsupported(error))
        error = markForDeletion(file.get());
    if (error != ERROR_SUCCESS)
        raise(path, error);
}

// A folder's name goes by the same removal as a file's.
void removeEmptyFolder(const fs::path& path)
{
    removeFileName(path);
}

// One enumeration a folder, which tells which entries are folders; a folder goes, by the same
// removal as a file, once its contents have.
void removeFolderTree(const fs::path& folder)
{
    // A file, or a link to a folder (a junction among them), goes by its name: what a link leads to
    // is not the folder's.
    const DWORD attributes = GetFileAttributesW(folder.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES &&
        ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) || !(attributes & FILE_ATTRIBUTE_DIRECTORY))) {
        removeFileName(folder);
        return;
    }
    boost::system::error_code error;
    fs::recursive_directory_iterator it(folder, error);
    if (error == boost::system::errc::no_such_file_or_directory)
        return;
    if (error)
        throw fs::filesystem_error("boost::filesystem::remove", folder, error);
    std::vector<fs::path> files;
    std::vector<fs::path> folders{folder};
    for (fs::recursive_directory_iterator end; it != end; ++it)
        (fs::is_directory(it->symlink_status()) ? folders : files).push_back(it->path());
    files.insert(files.end(), folders.rbegin(), folders.rend());
    std::optional<fs::filesystem_error> failure;
    for (const fs::path& path : files) {
        try {
            removeFileName(path);
        } catch (const fs::filesystem_error& e) {
            if (!failure)
                failure = e;
        }
    }
    if (failure)
        throw *failure;
}
