#include "update/timing_log.h"

#include "launcher/diagnostics.h"
#include "update/system/timing_log_file.h"

#include <chrono>

std::string timingLogLine(std::int64_t millisecondsSinceEpoch)
{
    return "{\"logType\": \"startingTimeStamp\", \"value\": " + std::to_string(millisecondsSinceEpoch) +
           "}\n";
}

void writeUpdateTimingLog()
{
    const std::string fileName = "liveUpdateLog.log";
    try {
        const auto now = std::chrono::system_clock::now().time_since_epoch();
        const std::int64_t milliseconds =
            std::chrono::duration_cast<std::chrono::milliseconds>(now).count();
        replaceTimingLogFile(fileName, timingLogLine(milliseconds));
        return;
    } catch (...) {
    }
    writeDiagnosticLine("warning: Could not create time tracking file '" + fileName + "'");
}
