#pragma once

#include <boost/filesystem/path.hpp>

#include <optional>
#include <string>
#include <vector>

class HeldFileWait;

// Pending updates found in an install folder: the suffix of every "update_" + digits folder in
// listing order, and the greatest of them in plain string order (empty when there is none); and
// what earlier runs left of retired updates, "old_update_" + digits, in exactly that letter case.
struct UpdateScan {
    std::vector<std::string> suffixes;
    std::string newest;
    std::vector<boost::filesystem::path> retired;
};

// The digits of a pending update folder's name ("update_" + one or more decimal digits).
std::optional<std::string> updateSuffix(const std::string& folderName);

// True when candidate is newer than newest: plain byte-wise string order, not numeric order,
// so "9" is newer than "10".
bool isNewerSuffix(const std::string& candidate, const std::string& newest);

// Lists the folders (and links to folders) directly in the install folder that are pending
// updates. Raises the file-system library's errors.
UpdateScan scanUpdateFolders(const boost::filesystem::path& installFolder);

// Renames every pending update but the newest to "old_update_" + suffix (or, where something
// stands under that name, the suffix and a number), out of every scan's sight, waiting out a
// folder held for a moment, and returns the retired folders, to delete. A failed rename is raised.
std::vector<boost::filesystem::path> retireOlderUpdates(const boost::filesystem::path& installFolder,
                                                        const UpdateScan& scan, HeldFileWait& wait);

// Retires the update that was just installed the same way and returns its retired folder, to
// delete; never raises: the installation stands whatever happens to its folder. One that cannot be
// renamed now stays pending and is installed again, unchanged, by a later run.
std::optional<boost::filesystem::path> retireInstalledUpdate(const boost::filesystem::path& installFolder,
                                                             const std::string& suffix, HeldFileWait& wait);

// Deletes retired updates as far as it can at once: what another program holds now stays, and a
// later run deletes it.
void deleteRetiredUpdates(const std::vector<boost::filesystem::path>& retired);

// True for a name that the Launcher keeps for itself in the install folder: its rollback store,
// "zintu_rollback", and the update folder names, compared as the file system compares names.
bool isLaunchersOwnName(const boost::filesystem::path& name);

// The pending update folder of a suffix.
boost::filesystem::path updateFolderPath(const boost::filesystem::path& installFolder,
                                         const std::string& suffix);
