#include "registration/CallLogFile.h"

#include <cstdio>

std::string utcTimestamp(std::chrono::system_clock::time_point when)
{
    using namespace std::chrono;
    const auto day = floor<days>(when);
    const year_month_day date{day};
    const hh_mm_ss time{floor<milliseconds>(when - day)};
    char text[40];
    std::snprintf(
        text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", static_cast<int>(date.year()),
        static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
        static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
        static_cast<int>(time.seconds().count()), static_cast<int>(time.subseconds().count()));
    return text;
}

std::string callLogRecord(std::chrono::system_clock::time_point when, std::string_view exportName,
                          std::int32_t code, std::string_view directory,
                          std::string_view progressLog)
{
    std::string record = utcTimestamp(when);
    record.append(" ").append(exportName);
    record.append(" code ").append(std::to_string(code));
    record.append(" directory ").append(directory).append("\n");
    record.append(progressLog);
    if (!progressLog.empty() && progressLog.back() != '\n') {
        record.push_back('\n');
    }
    record.push_back('\n');
    return record;
}
