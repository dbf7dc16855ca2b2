#include "update/system/disk_flush.h"

#include "update/system/scoped_handle_windows.h"
#include "update/system/volume_identity.h"

#include <boost/filesystem/exception.hpp>

#include <windows.h>

#include <string>

namespace fs = boost::filesystem;

namespace {

constexpr DWORD shareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

[[noreturn]] void raise(const char* operation, const fs::path& path, DWORD error)
{
    throw fs::filesystem_error(operation, path,
                               boost::system::error_code(static_cast<int>(error), boost::system::system_category()));
}

HANDLE handle(std::intptr_t value)
{
    return reinterpret_cast<HANDLE>(value);
}

// The volume behind its root folder, opened for flushing; only an administrator may, and not
// every volume can be flushed. Null when it cannot be.
HANDLE openFlushableVolume(std::wstring root)
{
    // The volume's name is asked for by the root's plain form ("C:\"), which a drive root always has.
    if (root.rfind(L"\\\\?\\", 0) == 0 && root.size() > 5 && root[5] == L':')
        root.erase(0, 4);
    wchar_t name[MAX_PATH] = {};
    if (root.empty() || !GetVolumeNameForVolumeMountPointW(root.c_str(), name, MAX_PATH))
        return nullptr;
    std::wstring device = name;
    // With its trailing separator the name would open the volume's root folder, not the volume.
    if (!device.empty() && device.back() == L'\\')
        device.pop_back();
    const HANDLE volume = CreateFileW(device.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                      nullptr, OPEN_EXISTING, 0, nullptr);
    if (volume == INVALID_HANDLE_VALUE)
        return nullptr;
    if (!FlushFileBuffers(volume)) {
        CloseHandle(volume);
        return nullptr;
    }
    return volume;
}

void flushHandle(HANDLE file, const fs::path& path)
{
    if (!FlushFileBuffers(file))
        raise("FlushFileBuffers", path, GetLastError());
}

bool setAttributes(HANDLE file, FILE_BASIC_INFO basic, DWORD attributes)
{
    basic.FileAttributes = attributes ? attributes : FILE_ATTRIBUTE_NORMAL;
    return SetFileInformationByHandle(file, FileBasicInfo, &basic, sizeof basic);
}

}

VolumeFlush::VolumeFlush(const fs::path& installFolder) : folder_(installFolder)
{
    handle_ = reinterpret_cast<std::intptr_t>(openFlushableVolume(volumeIdentity(installFolder)));
}

VolumeFlush::~VolumeFlush()
{
    if (handle_)
        CloseHandle(handle(handle_));
}

bool VolumeFlush::flushes() const
{
    return handle_ != 0;
}

void VolumeFlush::flush()
{
    if (handle_)
        flushHandle(handle(handle_), folder_);
}

void flushFileToDisk(const fs::path& file)
{
    const ScopedHandle writable(
        CreateFileW(file.c_str(), GENERIC_WRITE, shareAll, nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (writable) {
        flushHandle(writable.get(), file);
        return;
    }
    const DWORD refused = GetLastError();
    // A read-only file opens for writing only once its attribute is lifted; it is put back
    // through the same handle right after the flush.
    const ScopedHandle attributes(CreateFileW(file.c_str(), FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, shareAll,
                                              nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    FILE_BASIC_INFO basic{};
    if (refused != ERROR_ACCESS_DENIED || !attributes ||
        !GetFileInformationByHandleEx(attributes.get(), FileBasicInfo, &basic, sizeof basic) ||
        !(basic.FileAttributes & FILE_ATTRIBUTE_READONLY))
        raise("CreateFileW", file, refused);
    if (!setAttributes(attributes.get(), basic, basic.FileAttributes & ~FILE_ATTRIBUTE_READONLY))
        raise("SetFileInformationByHandle", file, GetLastError());
    const ScopedHandle lifted(
        CreateFileW(file.c_str(), GENERIC_WRITE, shareAll, nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    const DWORD error = lifted ? (FlushFileBuffers(lifted.get()) ? ERROR_SUCCESS : GetLastError()) : GetLastError();
    setAttributes(attributes.get(), basic, basic.FileAttributes);
    if (error != ERROR_SUCCESS)
        raise("FlushFileBuffers", file, error);
}

void flushFolderToDisk(const fs::path& folder)
{
    const ScopedHandle handle(CreateFileW(folder.c_str(), GENERIC_WRITE, shareAll, nullptr, OPEN_EXISTING,
                                          FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (handle)
        FlushFileBuffers(handle.get());
}
