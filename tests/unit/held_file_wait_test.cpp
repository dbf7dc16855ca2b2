#include "update/held_file_wait.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace fs = boost::filesystem;
using std::chrono::milliseconds;
using std::chrono::seconds;

namespace {

#ifdef _WIN32
const boost::system::error_code held(32, boost::system::system_category()); // a sharing violation
#else
const boost::system::error_code held(EBUSY, boost::system::system_category());
#endif

// A clock that only the pauses and the operations move.
struct FakeTime {
    std::chrono::steady_clock::time_point now{};
    milliseconds slept{0};

    HeldFileWait wait(milliseconds budget = seconds(60))
    {
        return HeldFileWait(
            budget,
            [this](milliseconds pause) {
                now += pause;
                slept += pause;
            },
            [this] { return now; });
    }
};

const auto heldForGood = [] { throw fs::filesystem_error("rename", "b.txt", held); };

// A file held for a moment is waited out with growing pauses; one held for good costs its file
// about 10 s, and all files of a run together about 60 s, before the failure is raised; any other
// failure is raised at once.
TEST(HeldFileWait, WaitsOutHeldFilesWithinItsBudgets)
{
    FakeTime time;
    HeldFileWait wait = time.wait();
    int attempts = 0;
    const int result = wait.run([&] {
        if (++attempts < 4)
            throw fs::filesystem_error("rename", "a.txt", held);
        return 7;
    });
    EXPECT_EQ(result, 7);
    EXPECT_EQ(time.slept, milliseconds(50 + 100 + 200));

    for (int file = 1; file <= 7; ++file) {
        wait.nextFile();
        const milliseconds before = time.slept;
        EXPECT_THROW(wait.run(heldForGood), fs::filesystem_error);
        EXPECT_LE(time.slept - before, seconds(10)) << file;
        if (file < 6) {
            EXPECT_EQ(time.slept - before, seconds(10)) << file;
        }
    }
    EXPECT_EQ(time.slept, seconds(60));

    wait.nextFile();
    const milliseconds before = time.slept;
    const boost::system::error_code missing(2, boost::system::system_category()); // ENOENT, ERROR_FILE_NOT_FOUND
    EXPECT_THROW(wait.run([&] { throw fs::filesystem_error("rename", "c.txt", missing); }), fs::filesystem_error);
    EXPECT_EQ(time.slept, before);
}

// The budgets are kept by the clock: attempts that take long themselves (a copy across volumes)
// use up the file's 10 s as much as the pauses do, while the attempt that goes through costs the
// run's budget nothing. A budget of zero never waits.
TEST(HeldFileWait, CountsTheClockNotThePauses)
{
    FakeTime time;
    HeldFileWait wait = time.wait();
    int attempts = 0;
    EXPECT_THROW(wait.run([&] {
        ++attempts;
        time.now += seconds(6);
        heldForGood();
    }),
                 fs::filesystem_error);
    EXPECT_EQ(attempts, 3);

    wait.nextFile();
    wait.run([&] { time.now += seconds(300); });
    for (int file = 0; file < 6; ++file) {
        wait.nextFile();
        EXPECT_THROW(wait.run(heldForGood), fs::filesystem_error);
    }
    EXPECT_EQ(time.slept, milliseconds(150) + seconds(60) - milliseconds(6150));

    HeldFileWait noWaiting = time.wait(milliseconds(0));
    attempts = 0;
    EXPECT_THROW(noWaiting.run([&] {
        ++attempts;
        heldForGood();
    }),
                 fs::filesystem_error);
    EXPECT_EQ(attempts, 1);
}

}
