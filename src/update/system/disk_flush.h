#pragma once

#include <boost/filesystem/path.hpp>

#include <cstdint>

// The one flush that makes an installation durable: the install folder's whole volume at once,
// rather than each file it placed. Where the volume cannot be flushed (on Windows, without the
// right to open it), nothing reaches the disk through it, and each copy is flushed on its own.
class VolumeFlush {
public:
    // Opens the volume of the install folder; on Windows also tries a flush, so that a volume that
    // cannot be flushed is known before the first file is placed. Raises only on Linux, for a
    // folder that cannot be opened.
    explicit VolumeFlush(const boost::filesystem::path& installFolder);
    ~VolumeFlush();
    VolumeFlush(const VolumeFlush&) = delete;
    VolumeFlush& operator=(const VolumeFlush&) = delete;

    // Whether flush reaches the disk at all.
    bool flushes() const;
    // Flushes the volume: the data of every file on it and every rename, link and removal made so
    // far survive a power cut once it returns. Raises boost::filesystem::filesystem_error.
    void flush();

private:
    boost::filesystem::path folder_;
    std::intptr_t handle_; // a file descriptor, or a Windows handle; invalid when nothing reaches the disk
    // Linux: a FUSE volume (exfat-fuse, ntfs-3g), whose daemon the system's flush of the volume
    // does not reach; a folder's flush does.
    bool fuse_ = false;
};

// Flushes the data of a file, for a read-only one too, to the disk. Raises
// boost::filesystem::filesystem_error.
void flushFileToDisk(const boost::filesystem::path& file);

// Flushes a folder's entries to the disk, so that a rename into it survives a power cut.
// Raises boost::filesystem::filesystem_error on Linux; on Windows, where not every file system can
// flush a folder, a failure is ignored.
void flushFolderToDisk(const boost::filesystem::path& folder);
