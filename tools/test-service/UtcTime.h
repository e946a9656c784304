// Timestamps for the log and the stored registrations.
#pragma once

#include <chrono>
#include <string>

namespace testservice {

// ISO 8601 in UTC with milliseconds, "2024-05-01T12:34:56.789Z": sorts as
// text and reads the same on every machine an operator compares.
std::string utcTimestamp();
// The same for a moment the given time before now.
std::string utcTimestamp(std::chrono::milliseconds ago);

} // namespace testservice
