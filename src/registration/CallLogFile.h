#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

// One call's record in a log file: a first line with the UTC time (ISO 8601,
// milliseconds), the export, the code and the directory servers used, then
// the progress log, then an empty line that ends the record.
std::string callLogRecord(std::chrono::system_clock::time_point when, std::string_view exportName,
                          std::int32_t code, std::string_view directory,
                          std::string_view progressLog);

// "2026-12-08T06:33:58.123Z".
std::string utcTimestamp(std::chrono::system_clock::time_point when);
