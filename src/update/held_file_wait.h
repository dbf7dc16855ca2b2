#pragma once

#include <boost/filesystem/exception.hpp>
#include <boost/filesystem/path.hpp>
#include <boost/system/error_code.hpp>

#include <chrono>
#include <functional>

// Whether a file operation failed only because another program holds the file for a moment: on
// Windows a sharing or lock violation, access denied (a scanner's handle on a file being replaced),
// a pending deletion or a folder that still holds one; elsewhere a busy file.
bool isHeldFileError(const boost::system::error_code& error);

// Waits out files that virus scanners, indexers and the like hold for a moment after they were
// written or renamed. Each file gets about 10 s, everything waited out through one object about
// 60 s, so that a file held for good fails its operation instead of making the Launcher hang.
class HeldFileWait {
public:
    using Sleep = std::function<void(std::chrono::milliseconds)>;

    // A total budget of zero waits for nothing: the operation's first failure is raised.
    explicit HeldFileWait(Sleep sleep = defaultSleep, std::chrono::milliseconds totalBudget = std::chrono::seconds(60));

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
    // Sleeps before the next attempt; false when the budget is spent.
    bool pause(const boost::filesystem::filesystem_error& error);

    Sleep sleep_;
    std::chrono::milliseconds totalBudget_;
    std::chrono::milliseconds fileWaited_{0};
    std::chrono::milliseconds totalWaited_{0};
    std::chrono::milliseconds nextPause_;
};
