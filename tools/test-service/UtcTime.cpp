#include "test-service/UtcTime.h"

#include <chrono>
#include <cstdio>
#include <ctime>

namespace testservice {

std::string utcTimestamp()
{
    return utcTimestamp(std::chrono::milliseconds(0));
}

std::string utcTimestamp(std::chrono::milliseconds ago)
{
    const auto now = std::chrono::system_clock::now() - ago;
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000;
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char date[24];
    std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &utc);
    char text[32];
    std::snprintf(text, sizeof text, "%s.%03dZ", date, static_cast<int>(millis));
    return text;
}

} // namespace testservice
