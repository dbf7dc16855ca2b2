#pragma once

#include <cstdint>
#include <string>

// The log line for a moment given in milliseconds since 1970-01-01 00:00:00 UTC.
std::string timingLogLine(std::int64_t millisecondsSinceEpoch);

// Records the moment in liveUpdateLog.log in the current directory, replacing what the file
// held. Never fails: a file that cannot be written gives a warning line on standard output.
void writeUpdateTimingLog();
