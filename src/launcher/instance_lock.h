#pragma once

#include <boost/filesystem/path.hpp>
#include <boost/interprocess/sync/file_lock.hpp>

// The single-instance lock: an exclusive, non-waiting lock on the lock file, held for the
// object's lifetime. The file is created empty when missing, never through a link, and is never
// written or deleted.
class InstanceLock {
public:
    // Raises "Another instance of this program is already running." when another process holds
    // the lock, a runtime error naming the file when it is a link to a missing file, and the lock
    // library's error (with the system's text) when the file cannot be opened or locked.
    explicit InstanceLock(const boost::filesystem::path& lockFile);

    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

private:
    boost::interprocess::file_lock lock_;
};
