#include "update/move_file.h"

#include "test_support.h"

#include <gtest/gtest.h>

namespace fs = boost::filesystem;
using boost::system::error_code;

namespace {

std::string content(const fs::path& file)
{
    boost::filesystem::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// A move counts only when the call succeeded and the source is gone. A copy that a call left
// behind (Windows: success but the source stays; Wine: failure with the copy kept) is removed,
// but a destination that stood before a failed call is not touched.
TEST(SettleMove, CopyLeftBehindIsRemovedAndRaised)
{
    const TempFolder temp;
    const fs::path from = temp.path() / "from.bin";
    const fs::path to = temp.path() / "to.bin";
    const error_code denied = boost::system::errc::make_error_code(boost::system::errc::permission_denied);
    const struct {
        const char* name;
        error_code error;
        bool destinationExisted;
        bool destinationKept;
    } cases[] = {
        {"success, source stayed", {}, false, false},
        {"success, source stayed, destination replaced", {}, true, false},
        {"failure, copy left", denied, false, false},
        {"failure, destination stood before", denied, true, true},
    };
    for (const auto& c : cases) {
        makeFile(from, "original");
        makeFile(to, "copy");
        try {
            settleMove(from, to, c.error, c.destinationExisted);
            ADD_FAILURE() << c.name << ": no error raised";
        } catch (const fs::filesystem_error& e) {
            EXPECT_EQ(e.code(), c.error ? c.error : boost::system::errc::make_error_code(
                                                        boost::system::errc::device_or_resource_busy)) << c.name;
            EXPECT_EQ(e.path1(), from) << c.name;
        }
        EXPECT_EQ(content(from), "original") << c.name;
        EXPECT_EQ(fs::exists(to), c.destinationKept) << c.name;
        fs::remove(to);
    }
}

TEST(SettleMove, CompletedMovePasses)
{
    const TempFolder temp;
    const fs::path to = makeFile(temp.path() / "to.bin", "moved");
    EXPECT_NO_THROW(settleMove(temp.path() / "from.bin", to, {}, false));
    EXPECT_EQ(content(to), "moved");
}

}
