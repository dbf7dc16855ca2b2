#include "update/held_file_wait.h"

#include "launcher/diagnostics.h"

#include <algorithm>
#include <thread>

namespace {

using std::chrono::milliseconds;

// Peers wait about as long: Chromium's installer 10 s a file, Squirrel 1 s, Velopack 4 s.
constexpr milliseconds fileBudget{10000};
constexpr milliseconds firstPause{50};
constexpr milliseconds longestPause{1000};

}

HeldFileWait::HeldFileWait(milliseconds totalBudget, Sleep sleep, Clock clock)
    : sleep_(std::move(sleep)), clock_(std::move(clock)), totalBudget_(totalBudget), nextPause_(firstPause)
{
}

void HeldFileWait::defaultSleep(milliseconds pause)
{
    std::this_thread::sleep_for(pause);
}

void HeldFileWait::nextFile()
{
    // The attempt that finally went through is work, not waiting: the file cost until it began.
    if (fileRefused_)
        spent_ += fileRetried_ - *fileRefused_;
    fileRefused_.reset();
    nextPause_ = firstPause;
}

bool HeldFileWait::pause(const boost::filesystem::filesystem_error& error)
{
    const auto now = clock_();
    const Duration file = fileRefused_ ? now - *fileRefused_ : Duration(0);
    const Duration left = std::min<Duration>(fileBudget - file, totalBudget_ - spent_ - file);
    if (left <= Duration(0))
        return false;
    if (!fileRefused_) {
        fileRefused_ = now;
        writeDiagnosticLine("waiting for " + error.path1().string() + ": " + error.code().message());
    }
    sleep_(std::min(nextPause_, std::chrono::ceil<milliseconds>(left)));
    fileRetried_ = clock_();
    nextPause_ = std::min(nextPause_ * 2, longestPause);
    return true;
}
