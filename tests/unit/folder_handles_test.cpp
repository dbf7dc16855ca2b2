#include "update/system/folder_handles.h"
#include "update/system/rename.h"

#include "test_support.h"

#include <gtest/gtest.h>

#include <string>

namespace fs = boost::filesystem;

namespace {

std::string contentOf(const fs::path& file)
{
    fs::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

fs::path folderNumber(const fs::path& root, int number)
{
    return root / ("f" + std::to_string(number));
}

}

// Moves and links between folders far apart in a tree of more folders than are kept open at
// once, so that the two names of a call often need a folder each that is not kept yet: both must
// reach their own folder, whichever of them made room.
TEST(FolderHandles, MovesAndLinksAcrossMoreFoldersThanAreKept)
{
    TempFolder temp;
    constexpr int folders = 150;
    for (int i = 0; i < folders; ++i)
        makeFile(folderNumber(temp.path(), i) / "moved.txt", "moved " + std::to_string(i));
    for (int i = 0; i < folders; ++i)
        makeFile(folderNumber(temp.path(), i) / "linked.txt", "linked " + std::to_string(i));
    const auto partner = [](int i) { return (i * 67 + 11) % folders; };
    {
        const FolderHandles kept;
        for (int i = 0; i < folders; ++i) {
            // A look at a third folder's name in between, so that the kept folders fill up unevenly.
            EXPECT_EQ(entryStatus(folderNumber(temp.path(), (i * 13 + 5) % folders) / "linked.txt").type(),
                      fs::regular_file);
            const fs::path to = folderNumber(temp.path(), partner(i));
            renameNew(folderNumber(temp.path(), i) / "moved.txt", to / ("from " + std::to_string(i)));
            boost::system::error_code error;
            createHardLink(folderNumber(temp.path(), i) / "linked.txt", to / ("link of " + std::to_string(i)), error);
            if (error == boost::system::errc::operation_not_permitted || error == boost::system::errc::not_supported)
                GTEST_SKIP() << "no hard links on " << temp.path() << ": " << error.message();
            ASSERT_FALSE(error) << error.message();
        }
    }
    for (int i = 0; i < folders; ++i) {
        const fs::path to = folderNumber(temp.path(), partner(i));
        EXPECT_FALSE(fs::exists(folderNumber(temp.path(), i) / "moved.txt"));
        EXPECT_EQ(contentOf(to / ("from " + std::to_string(i))), "moved " + std::to_string(i));
        EXPECT_EQ(contentOf(to / ("link of " + std::to_string(i))), "linked " + std::to_string(i));
        EXPECT_EQ(fs::hard_link_count(to / ("link of " + std::to_string(i))), 2u);
    }
}

// A step looks at its target before it makes the target's folder: the folder found missing then
// must not keep the names in it from reaching it once it stands.
TEST(FolderHandles, AFolderMadeAfterItWasFoundMissing)
{
    TempFolder temp;
    const fs::path source = makeFile(temp.path() / "update" / "a.dll", "new");
    const fs::path folder = temp.path() / "install" / "bin";
    const FolderHandles kept;

    boost::system::error_code error;
    EXPECT_EQ(entryStatus(folder / "a.dll", error).type(), fs::file_not_found);
    EXPECT_EQ(entryStatus(folder / "b.dll").type(), fs::file_not_found);
    fs::create_directories(folder);
    createHardLink(source, folder / "a.dll", error);
    ASSERT_FALSE(error) << error.message();
    makeFile(temp.path() / "staged", "staged");
    renameNew(temp.path() / "staged", folder / "b.dll");

    EXPECT_EQ(entryStatus(folder / "a.dll").type(), fs::regular_file);
    EXPECT_EQ(entryStatus(folder).type(), fs::directory_file);
    EXPECT_EQ(contentOf(folder / "a.dll"), "new");
    EXPECT_EQ(contentOf(folder / "b.dll"), "staged");
}

// What a failed call raises names both whole paths, as the message a user sees must.
TEST(FolderHandles, FailuresNameTheWholePaths)
{
    TempFolder temp;
    const fs::path standing = makeFile(temp.path() / "install" / "a.dll", "old");
    const fs::path staged = makeFile(temp.path() / "store" / "staged", "new");
    const FolderHandles kept;

    try {
        renameNew(staged, standing);
        FAIL() << "a rename onto a standing file replaced it";
    } catch (const fs::filesystem_error& e) {
        EXPECT_EQ(e.code(), boost::system::errc::file_exists);
        EXPECT_EQ(e.path1(), staged);
        EXPECT_EQ(e.path2(), standing);
    }
    try {
        renameReplacing(temp.path() / "store" / "missing", standing);
        FAIL() << "a rename of nothing succeeded";
    } catch (const fs::filesystem_error& e) {
        EXPECT_EQ(e.code(), boost::system::errc::no_such_file_or_directory);
        EXPECT_EQ(e.path1(), temp.path() / "store" / "missing");
        EXPECT_EQ(e.path2(), standing);
    }
    EXPECT_EQ(contentOf(standing), "old");
    EXPECT_EQ(contentOf(staged), "new");
}
