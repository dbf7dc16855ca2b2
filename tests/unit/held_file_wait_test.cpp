#include "update/held_file_wait.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace fs = boost::filesystem;
using std::chrono::milliseconds;

namespace {

#ifdef _WIN32
const boost::system::error_code held(32, boost::system::system_category()); // a sharing violation
#else
const boost::system::error_code held(EBUSY, boost::system::system_category());
#endif

// A file held for a moment is waited out with growing pauses; one held for good costs its file
// about 10 s, and all files together about 60 s, before the failure is raised; any other failure
// is raised at once.
TEST(HeldFileWait, WaitsOutHeldFilesWithinItsBudgets)
{
    milliseconds slept{0};
    int pauses = 0;
    HeldFileWait wait([&](milliseconds pause) {
        slept += pause;
        ++pauses;
    });
    int attempts = 0;
    const int result = wait.run([&] {
        if (++attempts < 4)
            throw fs::filesystem_error("rename", "a.txt", held);
        return 7;
    });
    EXPECT_EQ(result, 7);
    EXPECT_EQ(slept, milliseconds(50 + 100 + 200));

    const auto heldForGood = [] { throw fs::filesystem_error("rename", "b.txt", held); };
    for (int file = 1; file <= 7; ++file) {
        wait.nextFile();
        const milliseconds before = slept;
        EXPECT_THROW(wait.run(heldForGood), fs::filesystem_error);
        EXPECT_LE(slept - before, milliseconds(10000)) << file;
        if (file < 6) {
            EXPECT_EQ(slept - before, milliseconds(10000)) << file;
        }
    }
    EXPECT_EQ(slept, milliseconds(60000));

    wait.nextFile();
    const int pausesBefore = pauses;
    const boost::system::error_code missing(2, boost::system::system_category()); // ENOENT, ERROR_FILE_NOT_FOUND
    EXPECT_THROW(wait.run([&] { throw fs::filesystem_error("rename", "c.txt", missing); }), fs::filesystem_error);
    EXPECT_EQ(pauses, pausesBefore);
}

}
