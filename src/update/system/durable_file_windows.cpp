#include "update/system/durable_file.h"

#include <boost/filesystem/exception.hpp>

#include <windows.h>

namespace fs = boost::filesystem;

namespace {

[[noreturn]] void raise(const char* operation, const fs::path& file, DWORD error)
{
    throw fs::filesystem_error(operation, file,
                               boost::system::error_code(static_cast<int>(error), boost::system::system_category()));
}

HANDLE handle(std::intptr_t value)
{
    return reinterpret_cast<HANDLE>(value);
}

}

// FlushFileBuffers wants the whole write right, not only appending; the writes append all the
// same, since the file is new and nobody else may write to it.
DurableFile::DurableFile(const fs::path& file)
    : file_(file),
      handle_(reinterpret_cast<std::intptr_t>(CreateFileW(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                                          CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr)))
{
    if (handle(handle_) == INVALID_HANDLE_VALUE)
        raise("CreateFileW", file_, GetLastError());
}

DurableFile::~DurableFile()
{
    close();
}

void DurableFile::close()
{
    if (handle(handle_) != INVALID_HANDLE_VALUE)
        CloseHandle(handle(handle_));
    handle_ = reinterpret_cast<std::intptr_t>(INVALID_HANDLE_VALUE);
}

void DurableFile::append(const void* data, std::size_t size)
{
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
        DWORD written = 0;
        const DWORD chunk = size > (1u << 30) ? (1u << 30) : static_cast<DWORD>(size);
        if (!WriteFile(handle(handle_), bytes, chunk, &written, nullptr))
            raise("WriteFile", file_, GetLastError());
        if (written == 0)
            raise("WriteFile", file_, ERROR_DISK_FULL);
        bytes += written;
        size -= written;
    }
}

// NTFS journals the new folder entry itself; only the file's data needs flushing.
void DurableFile::flushToDisk()
{
    if (!FlushFileBuffers(handle(handle_)))
        raise("FlushFileBuffers", file_, GetLastError());
}
