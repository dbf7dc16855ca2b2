#pragma once

#include <cstdint>
#include <string>

// The log line for a moment given in milliseconds since 1970-01-01 00:00:00 UTC.
std::string timingLogLine(std::int64_t millisecondsSinceEpoch);

// Records the moment in liveUpdateLog.log in the current directory, replacing what the file
// held; only an ordinary file is written, never through a link. Never fails: a name that cannot be
// written, or stands for anything else, gives a warning line on standard output.
void writeUpdateTimingLog();
