#include "update/system/copy_file.h"

#include "test_support.h"

#include <gtest/gtest.h>

#include <random>

namespace fs = boost::filesystem;

namespace {

std::string bytesOf(const fs::path& file)
{
    boost::filesystem::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// A copy holds the source's data whole, however large, and the permissions it reports are those
// the file has; it never replaces what stands at its target, which keeps its data.
TEST(CopyFileData, CopiesWholeAndNeverReplaces)
{
    const TempFolder temp;
    std::string data(300 << 10, '\0');
    std::mt19937 random(7);
    for (char& byte : data)
        byte = static_cast<char>(random());
    const fs::path source = makeFile(temp.path() / "source.bin", data);
    fs::permissions(source, fs::owner_read | fs::owner_write | fs::group_read);
    CopyFacts volume;

    const fs::perms made = copyFileData(source, temp.path() / "copy.bin", fs::status(source), volume, true);

    EXPECT_EQ(bytesOf(temp.path() / "copy.bin"), data);
    EXPECT_EQ(made, fs::status(temp.path() / "copy.bin").permissions() & fs::perms_mask);
    EXPECT_TRUE(volume.keepsPermissions.value_or(false));
    const fs::path standing = makeFile(temp.path() / "standing.bin", "stays");
    EXPECT_THROW(copyFileData(source, standing, fs::status(source), volume, false), fs::filesystem_error);
    EXPECT_EQ(bytesOf(standing), "stays");
}

}
