#pragma once

#include "update/system/held_file_error.h"

#include <boost/filesystem/exception.hpp>
#include <boost/filesystem/path.hpp>
#include <boost/system/error_code.hpp>

#include <chrono>
#include <functional>
#include <optional>

// Waits out files that virus scanners, indexers and the like hold for a moment after they were
// written or renamed. One object serves a whole run, so that its budget covers everything the
// run waits for: about 10 s a file and about 60 s in all, counted by the clock from a file's first
// refusal to its last attempt, so that a file held for good fails its operation instead of making
// the Launcher hang.
class HeldFileWait {
public:
    using Sleep = std::function<void(std::chrono::milliseconds)>;
    using Clock = std::function<std::chrono::steady_clock::time_point()>;

    // A total budget of zero waits for nothing: the operation's first failure is raised.
    explicit HeldFileWait(std::chrono::milliseconds totalBudget = std::chrono::seconds(60), Sleep sleep = defaultSleep,
                          Clock clock = std::chrono::steady_clock::now);

    // Starts the next file's budget.
    void nextFile();

    // Runs the operation and, while it raises a filesystem_error of a held file and the budgets
    // last, runs it again after a pause that grows from 50 ms to 1 s. The first pause for a file
    // writes a diagnostic line that names it. The operation must leave things as they were when it
    // raises. Raises the operation's last error.
    template <class Operation>
    decltype(auto) run(Operation&& operation)
    {
        for (;;) {
            try {
                return operation();
            } catch (const boost::filesystem::filesystem_error& e) {
                if (!isHeldFileError(e.code()) || !pause(e))
                    throw;
            }
        }
    }

    static void defaultSleep(std::chrono::milliseconds pause);

private:
    using Duration = std::chrono::steady_clock::duration;

    // Sleeps before the next attempt; false when a budget is spent.
    bool pause(const boost::filesystem::filesystem_error& error);

    Sleep sleep_;
    Clock clock_;
    Duration totalBudget_;
    // What earlier files cost, and when the current file was first refused and last tried again.
    Duration spent_{0};
    std::optional<std::chrono::steady_clock::time_point> fileRefused_;
    std::chrono::steady_clock::time_point fileRetried_;
    std::chrono::milliseconds nextPause_;
};
