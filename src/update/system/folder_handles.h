#pragma once

#include <boost/filesystem/file_status.hpp>
#include <boost/filesystem/path.hpp>
#include <boost/system/error_code.hpp>

#include <memory>

// While one stands, the name operations below (and renameReplacing and renameNew) reach a name
// from a handle of its folder, kept open from the first name in it, so that the system walks
// only the name's last element instead of the whole path each time; an update's files come
// folder by folder, and a deep install folder made most of each call a walk down to it. A
// folder is known by the path it was first reached by: while one stands, nothing may rename
// or remove a folder that a name passed to them lies in. Where none stands, or on Windows,
// every call takes the whole path.
class FolderHandles {
public:
    FolderHandles();
    ~FolderHandles();
    FolderHandles(const FolderHandles&) = delete;
    FolderHandles& operator=(const FolderHandles&) = delete;

    struct Kept;

private:
    std::unique_ptr<Kept> kept_;
};

// The entry at `path` itself, a link not followed; a name where nothing stands gives
// file_not_found together with its error, as boost::filesystem::symlink_status does.
boost::filesystem::file_status entryStatus(const boost::filesystem::path& path, boost::system::error_code& error);

// The same, raising boost::filesystem::filesystem_error for an error other than nothing standing there.
boost::filesystem::file_status entryStatus(const boost::filesystem::path& path);

// A second name `link` for the file at `existing`; the system's error when it refuses.
void createHardLink(const boost::filesystem::path& existing, const boost::filesystem::path& link,
                    boost::system::error_code& error);
