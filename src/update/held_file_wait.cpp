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

HeldFileWait::HeldFileWait(Sleep sleep, milliseconds totalBudget)
    : sleep_(std::move(sleep)), totalBudget_(totalBudget), nextPause_(firstPause)
{
}

void HeldFileWait::defaultSleep(milliseconds pause)
{
    std::this_thread::sleep_for(pause);
}

void HeldFileWait::nextFile()
{
    fileWaited_ = milliseconds(0);
    nextPause_ = firstPause;
}

bool HeldFileWait::pause(const boost::filesystem::filesystem_error& error)
{
    if (fileWaited_ >= fileBudget || totalWaited_ >= totalBudget_)
        return false;
    if (fileWaited_ == milliseconds(0))
        writeDiagnosticLine("waiting for " + error.path1().string() + ": " + error.code().message());
    const milliseconds pause = std::min({nextPause_, fileBudget - fileWaited_, totalBudget_ - totalWaited_});
    flushDiagnosticLines();
    sleep_(pause);
    fileWaited_ += pause;
    totalWaited_ += pause;
    nextPause_ = std::min(nextPause_ * 2, longestPause);
    return true;
}
