#include "launcher/update_folders.h"

#include "launcher/diagnostics.h"
#include "update/delete_now.h"
#include "update/held_file_wait.h"
#include "update/system/file_name_key.h"

#include <boost/filesystem/operations.hpp>

#include <algorithm>

namespace fs = boost::filesystem;

namespace {
const std::string updatePrefix = "update_";
const std::string retiredPrefix = "old_update_";

bool allDigits(const std::string& text)
{
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool standing(const fs::path& path)
{
    boost::system::error_code unknown;
    return fs::exists(fs::symlink_status(path, unknown));
}

// Renames the update folder out of every scan's sight, to a name where nothing stands: what an
// earlier run left under "old_update_<suffix>" (a deletion cut short, or a folder of the user's
// named so in other letter case) keeps its name, and the retired update takes the next free one.
fs::path retireUpdate(const fs::path& installFolder, const std::string& suffix, HeldFileWait& wait)
{
    fs::path retired = installFolder / fs::path(retiredPrefix + suffix);
    for (unsigned more = 1; standing(retired); ++more)
        retired = installFolder / fs::path(retiredPrefix + suffix + std::to_string(more));
    wait.nextFile();
    wait.run([&] { fs::rename(updateFolderPath(installFolder, suffix), retired); });
    return retired;
}

bool hasPrefixAndDigits(const fs::path::string_type& key, const std::string& prefix)
{
    const fs::path::string_type keyedPrefix = fileNameKey(fs::path(prefix));
    return key.compare(0, keyedPrefix.size(), keyedPrefix) == 0 &&
           allDigits(fs::path(key.substr(keyedPrefix.size())).string());
}

std::optional<std::string> digitsAfter(const std::string& prefix, const std::string& folderName)
{
    if (folderName.compare(0, prefix.size(), prefix) != 0)
        return std::nullopt;
    std::string suffix = folderName.substr(prefix.size());
    if (!allDigits(suffix))
        return std::nullopt;
    return suffix;
}

}

std::optional<std::string> updateSuffix(const std::string& folderName)
{
    return digitsAfter(updatePrefix, folderName);
}

bool isNewerSuffix(const std::string& candidate, const std::string& newest)
{
    return newest < candidate;
}

UpdateScan scanUpdateFolders(const fs::path& installFolder)
{
    UpdateScan scan;
    for (fs::directory_iterator it(installFolder), end; it != end; ++it) {
        if (!fs::is_directory(it->status()))
            continue;
        const std::string name = it->path().filename().string();
        // Only the names the Launcher writes, in their letter case; never a link: what it leads to
        // is no leftover of this folder's.
        if (fs::is_directory(it->symlink_status()) && digitsAfter(retiredPrefix, name))
            scan.retired.push_back(it->path());
        const std::optional<std::string> suffix = updateSuffix(name);
        if (!suffix)
            continue;
        scan.suffixes.push_back(*suffix);
        if (isNewerSuffix(*suffix, scan.newest))
            scan.newest = *suffix;
    }
    return scan;
}

fs::path updateFolderPath(const fs::path& installFolder, const std::string& suffix)
{
    return installFolder / fs::path(updatePrefix + suffix);
}

std::vector<fs::path> retireOlderUpdates(const fs::path& installFolder, const UpdateScan& scan, HeldFileWait& wait)
{
    std::vector<fs::path> retired;
    for (const std::string& suffix : scan.suffixes)
        if (suffix != scan.newest)
            retired.push_back(retireUpdate(installFolder, suffix, wait));
    return retired;
}

std::optional<fs::path> retireInstalledUpdate(const fs::path& installFolder, const std::string& suffix,
                                              HeldFileWait& wait)
{
    boost::system::error_code missing;
    if (!fs::exists(fs::symlink_status(updateFolderPath(installFolder, suffix), missing)))
        return std::nullopt;
    try {
        return retireUpdate(installFolder, suffix, wait);
    } catch (const std::exception& e) {
        writeDiagnosticLine("warning: the installed update stays pending: " + std::string(e.what()));
        return std::nullopt;
    }
}

void deleteRetiredUpdates(const std::vector<fs::path>& retired)
{
    for (const fs::path& folder : retired)
        deleteNow(folder);
}

bool isLaunchersOwnName(const fs::path& name)
{
    const fs::path::string_type key = fileNameKey(name);
    return key == fileNameKey(fs::path("zintu_rollback")) || hasPrefixAndDigits(key, updatePrefix) ||
           hasPrefixAndDigits(key, retiredPrefix);
}
