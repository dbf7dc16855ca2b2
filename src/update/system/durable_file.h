#pragma once

#include <boost/filesystem/path.hpp>

#include <cstddef>
#include <cstdint>

// A new file written only by appending, whose writes survive the end of the process as soon as
// append returns, and a power loss once flushToDisk returns. Closed on destruction.
class DurableFile {
public:
    // Creates the file, which must not exist yet. Raises boost::filesystem::filesystem_error.
    explicit DurableFile(const boost::filesystem::path& file);
    ~DurableFile();
    DurableFile(const DurableFile&) = delete;
    DurableFile& operator=(const DurableFile&) = delete;

    // Raises boost::filesystem::filesystem_error; a short write counts as a failure.
    void append(const void* data, std::size_t size);
    // Flushes the file, and where the system allows it its folder entry, to the disk.
    void flushToDisk();
    // Closes the file at once, so that it can be removed; nothing may be written after.
    void close();

private:
    boost::filesystem::path file_;
    std::intptr_t handle_; // a file descriptor, or a Windows file handle
};
