#include "update/timing_log.h"

#include <gtest/gtest.h>

#include <limits>

namespace {

// The moment is written in plain decimal digits inside the fixed JSON line.
TEST(TimingLogLine, WritesMillisecondsInJsonLine)
{
    const struct {
        std::int64_t milliseconds;
        const char* line;
    } cases[] = {
        {1000, "{\"logType\": \"startingTimeStamp\", \"value\": 1000}\n"},
        {0, "{\"logType\": \"startingTimeStamp\", \"value\": 0}\n"},
        {1706702400123, "{\"logType\": \"startingTimeStamp\", \"value\": 1706702400123}\n"},
        {std::numeric_limits<std::int64_t>::max(),
         "{\"logType\": \"startingTimeStamp\", \"value\": 9223372036854775807}\n"},
        {-1500, "{\"logType\": \"startingTimeStamp\", \"value\": -1500}\n"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(timingLogLine(c.milliseconds), c.line);
}

}
