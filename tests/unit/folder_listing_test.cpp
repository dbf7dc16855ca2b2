#include "launcher/folder_listing.h"

#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>

namespace fs = boost::filesystem;

namespace {

std::vector<fs::path::string_type> sortedNatives(const PathList& list)
{
    std::vector<fs::path::string_type> natives;
    for (const fs::path& path : *list)
        natives.push_back(path.native());
    std::sort(natives.begin(), natives.end());
    return natives;
}

std::vector<fs::path::string_type> sortedNatives(std::vector<fs::path> paths)
{
    return sortedNatives(std::make_shared<std::vector<fs::path>>(std::move(paths)));
}

class ListFolderEntriesTest : public testing::Test {
protected:
    ListFolderEntriesTest()
    {
        makeFile(root / "a.txt");
        makeFile(root / "sub" / "b.txt");
        makeFile(root / "sub" / "deep" / "c.txt");
        makeFolder(root / "empty");
    }

    TempFolder temp;
    const fs::path root = temp.path() / "tree";
};

// An empty folder lists nothing, whatever is asked for.
TEST_F(ListFolderEntriesTest, EmptyFolderListsNothing)
{
    EXPECT_TRUE(listFolderEntries(root / "empty", true, true)->empty());
}

// Files at every depth are listed with their full paths, and no folder among them.
TEST_F(ListFolderEntriesTest, ListsNestedFilesOnly)
{
    EXPECT_EQ(sortedNatives(listFolderEntries(root, true, false)),
              sortedNatives({root / "a.txt", root / "sub" / "b.txt", root / "sub" / "deep" / "c.txt"}));
    EXPECT_EQ(sortedNatives(listFolderEntries(root / "sub", true, false)),
              sortedNatives({root / "sub" / "b.txt", root / "sub" / "deep" / "c.txt"}));
}

// Folders alone can be listed, each one before the folders below it.
TEST_F(ListFolderEntriesTest, ListsFoldersBeforeTheirContents)
{
    const PathList folders = listFolderEntries(root, false, true);
    EXPECT_EQ(sortedNatives(folders), sortedNatives({root / "sub", root / "sub" / "deep", root / "empty"}));
    const PathList all = listFolderEntries(root, true, true);
    EXPECT_EQ(all->size(), 6u);
    const auto position = [&all](const fs::path& path) { return std::find(all->begin(), all->end(), path); };
    EXPECT_LT(position(root / "sub"), position(root / "sub" / "b.txt"));
    EXPECT_LT(position(root / "sub"), position(root / "sub" / "deep"));
    EXPECT_LT(position(root / "sub" / "deep"), position(root / "sub" / "deep" / "c.txt"));
}

// Every listed path begins with the folder's text exactly as it was given.
TEST_F(ListFolderEntriesTest, KeepsFolderTextAsGiven)
{
    const fs::path given = root / "sub" / ".." / "sub";
    EXPECT_EQ(sortedNatives(listFolderEntries(given, true, false)),
              sortedNatives({given / "b.txt", given / "deep" / "c.txt"}));
}

// A missing path or a file is not a folder to list.
TEST_F(ListFolderEntriesTest, RejectsMissingPathAndFile)
{
    for (const fs::path& path : {root / "missing", root / "a.txt"}) {
        try {
            listFolderEntries(path, true, true);
            ADD_FAILURE() << "no error for " << path;
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "Invalid folder");
        }
    }
}

// A link to a folder is listed as a folder but not walked into.
TEST_F(ListFolderEntriesTest, ListsLinkedFolderWithoutEnteringIt)
{
#ifdef _WIN32
    GTEST_SKIP() << "symbolic links need privileges on Windows";
#else
    TempFolder elsewhere;
    makeFile(elsewhere.path() / "outside.txt");
    fs::create_directory_symlink(elsewhere.path(), root / "link");
    EXPECT_EQ(sortedNatives(listFolderEntries(root, false, true)),
              sortedNatives({root / "sub", root / "sub" / "deep", root / "empty", root / "link"}));
    EXPECT_EQ(listFolderEntries(root, true, false)->size(), 3u);
#endif
}

}
