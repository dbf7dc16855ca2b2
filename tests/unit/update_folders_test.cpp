#include "launcher/update_folders.h"
#include "update/held_file_wait.h"

#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace fs = boost::filesystem;

namespace {

// Only "update_" followed by ASCII decimal digits names a pending update.
TEST(UpdateSuffix, AcceptsOnlyUpdatePrefixAndDigits)
{
    const struct {
        std::string name;
        std::optional<std::string> suffix;
    } cases[] = {
        {"update_1", "1"},        {"update_0010", "0010"}, {"update_20240131", "20240131"},
        {"update_", std::nullopt}, {"update_1a", std::nullopt}, {"update_-1", std::nullopt},
        {"Update_1", std::nullopt}, {"UPDATE_1", std::nullopt}, {"old_update_3", std::nullopt},
        {"update_ 1", std::nullopt}, {"update_1 ", std::nullopt}, {"update1", std::nullopt},
        {"update", std::nullopt},  {"", std::nullopt},         {"update_\xB9", std::nullopt},
        {"update_1\x80", std::nullopt}, {"update_\xD9\xA1", std::nullopt}, {"update_\xFF", std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(updateSuffix(c.name), c.suffix) << "name: " << c.name;
}

// Suffixes compare as plain strings, byte by byte, never as numbers.
TEST(IsNewerSuffix, ComparesAsPlainStrings)
{
    const struct {
        const char* candidate;
        const char* newest;
        bool newer;
    } cases[] = {
        {"9", "10", true},     {"10", "9", false},   {"2000", "2", true}, {"2", "2000", false},
        {"10", "010", true},   {"010", "10", false}, {"1", "", true},     {"", "1", false},
        {"5", "5", false},     {"12", "11", true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(isNewerSuffix(c.candidate, c.newest), c.newer) << c.candidate << " vs " << c.newest;
}

std::vector<std::string> sorted(std::vector<std::string> values)
{
    std::sort(values.begin(), values.end());
    return values;
}

// The scan takes folders named after pending updates only, and picks the greatest suffix.
TEST(ScanUpdateFolders, FindsUpdateFoldersAndNewest)
{
    TempFolder install;
    for (const char* name : {"update_9", "update_10", "update_", "update_1a", "update_-1", "Update_1",
                             "old_update_3", "other"})
        makeFolder(install.path() / name);
    makeFile(install.path() / "update_5");
    makeFile(install.path() / "update_10" / "update_11" / "file.txt");

    const UpdateScan scan = scanUpdateFolders(install.path());
    EXPECT_EQ(sorted(scan.suffixes), (std::vector<std::string>{"10", "9"}));
    EXPECT_EQ(scan.newest, "9");
}

// An install folder without updates gives an empty newest suffix; a missing one raises.
TEST(ScanUpdateFolders, EmptyAndMissingFolders)
{
    TempFolder install;
    const UpdateScan scan = scanUpdateFolders(install.path());
    EXPECT_TRUE(scan.suffixes.empty());
    EXPECT_EQ(scan.newest, "");
    EXPECT_THROW(scanUpdateFolders(install.path() / "missing"), fs::filesystem_error);
}

// A symbolic link to a folder counts as a folder, one to a file does not.
TEST(ScanUpdateFolders, FollowsSymbolicLinks)
{
#ifdef _WIN32
    GTEST_SKIP() << "symbolic links need privileges on Windows";
#else
    TempFolder install;
    TempFolder elsewhere;
    makeFolder(install.path() / "update_2");
    fs::create_directory_symlink(makeFolder(elsewhere.path() / "folder"), install.path() / "update_7");
    fs::create_symlink(makeFile(elsewhere.path() / "file"), install.path() / "update_8");

    const UpdateScan scan = scanUpdateFolders(install.path());
    EXPECT_EQ(sorted(scan.suffixes), (std::vector<std::string>{"2", "7"}));
    EXPECT_EQ(scan.newest, "7");
#endif
}

// Every update but the newest is deleted with its contents; nothing else is touched.
TEST(RetireOlderUpdates, DeletesAllButNewest)
{
    TempFolder install;
    makeFile(install.path() / "update_9" / "Lobby.exe", "new");
    makeFile(install.path() / "update_10" / "sub" / "a.dll");
    makeFolder(install.path() / "update_2");
    makeFile(install.path() / "old_update_3" / "kept.txt");
    makeFile(install.path() / "update_5");

    HeldFileWait wait;
    deleteRetiredUpdates(retireOlderUpdates(install.path(), scanUpdateFolders(install.path()), wait));

    std::vector<std::string> left;
    for (fs::directory_iterator it(install.path()), end; it != end; ++it)
        left.push_back(it->path().filename().string());
    EXPECT_EQ(sorted(left), (std::vector<std::string>{"old_update_3", "update_5", "update_9"}));
    EXPECT_TRUE(fs::exists(install.path() / "update_9" / "Lobby.exe"));
    EXPECT_TRUE(fs::exists(install.path() / "old_update_3" / "kept.txt"));
    EXPECT_TRUE(fs::is_regular_file(install.path() / "update_5"));
}

// What an earlier run left under the retired name keeps it, and the update takes a free name that
// later scans still find as a leftover.
TEST(RetireOlderUpdates, TakesAFreeNameBesideALeftover)
{
    TempFolder install;
    makeFolder(install.path() / "update_9");
    makeFile(install.path() / "update_10" / "a.dll");
    makeFile(install.path() / "old_update_10" / "left.txt");

    HeldFileWait wait;
    const std::vector<fs::path> retired = retireOlderUpdates(install.path(), scanUpdateFolders(install.path()), wait);

    ASSERT_EQ(retired.size(), 1u);
    EXPECT_TRUE(fs::exists(retired[0] / "a.dll"));
    EXPECT_TRUE(fs::exists(install.path() / "old_update_10" / "left.txt"));
    EXPECT_FALSE(fs::exists(install.path() / "update_10"));
    const std::vector<fs::path> leftovers = scanUpdateFolders(install.path()).retired;
    EXPECT_NE(std::find(leftovers.begin(), leftovers.end(), retired[0]), leftovers.end());
}

}
