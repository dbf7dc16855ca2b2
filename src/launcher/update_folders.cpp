#include "launcher/update_folders.h"

#include <boost/filesystem/operations.hpp>

#include <algorithm>

namespace fs = boost::filesystem;

namespace {
const std::string updatePrefix = "update_";
const std::string retiredPrefix = "old_update_";
}

std::optional<std::string> updateSuffix(const std::string& folderName)
{
    if (folderName.compare(0, updatePrefix.size(), updatePrefix) != 0)
        return std::nullopt;
    std::string suffix = folderName.substr(updatePrefix.size());
    const bool allDigits = std::all_of(suffix.begin(), suffix.end(),
                                       [](char c) { return c >= '0' && c <= '9'; });
    if (suffix.empty() || !allDigits)
        return std::nullopt;
    return suffix;
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
        const std::optional<std::string> suffix = updateSuffix(it->path().filename().string());
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

void retireOlderUpdates(const fs::path& installFolder, const UpdateScan& scan)
{
    for (const std::string& suffix : scan.suffixes) {
        if (suffix == scan.newest)
            continue;
        const fs::path retired = installFolder / fs::path(retiredPrefix + suffix);
        fs::rename(updateFolderPath(installFolder, suffix), retired);
        boost::system::error_code ignored;
        fs::remove_all(retired, ignored);
    }
}
