// The configuration file's text and the log file's record, without a
// library to load.

#include "registration/CallLogFile.h"
#include "registration/ConfigurationFile.h"

#include <gtest/gtest.h>

namespace {

TEST(ConfigurationFile, ReadsWhatEditorsWriteAndStopsAtTheFirstFault)
{
    struct Row {
        const char* name;
        std::string text;
        std::string fault;
        std::vector<std::string> directory;
        std::uint32_t deadlineMs;
        std::size_t warnings = 0;
    };
    const Row rows[] = {
        {"Windows line ends and a byte-order mark",
         "\xEF\xBB\xBF# servers\r\ndirectory = a.example:1\r\n\r\ndeadline_ms = 7\r\n",
         "",
         {"a.example:1"},
         7},
        {"repeated and comma-separated directories add up",
         "directory = a:1, b:2\ndirectory=c:3\n",
         "",
         {"a:1", "b:2", "c:3"},
         0},
        {"the last of a repeated number wins", "deadline_ms = 1\n  deadline_ms=2", "", {}, 2},
        {"a number past 32-bit signed",
         "deadline_ms = 2147483648\n",
         "f line 1: not a number of milliseconds from 0 to 2147483647: \"2147483648\"",
         {},
         0},
        {"a sign", "receive_timeout_ms = +5\n", "f line 1: not a number", {}, 0},
        {"an inline comment is part of the value",
         "directory = a:1 # west\n",
         "f line 1: not host:port",
         {},
         0},
        {"keys in any case, ';' comments and the [register] section",
         "; launcher\n[ Register ]\nDeadline_MS = 3\n",
         "",
         {},
         3},
        {"a later version's key and another program's section are passed over",
         "deadline_ms = 4\nretry_count = 2\n[Other]\ndeadline_ms = soon\n[register]\nx=1\n",
         "",
         {},
         4,
         3},
        {"a fault after good lines names its own line",
         "deadline_ms = 1\nlog_file =\n",
         "f line 2: log_file needs a file name",
         {},
         1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        CallSettings settings;
        std::vector<std::string> warnings;
        const std::string fault = parseConfiguration(row.text, "f", settings, warnings);
        EXPECT_EQ(fault.substr(0, row.fault.size()), row.fault);
        EXPECT_EQ(fault.empty(), row.fault.empty()) << fault;
        EXPECT_EQ(settings.directory.value_or(std::vector<std::string>{}), row.directory);
        EXPECT_EQ(settings.deadlineMs.value_or(0), row.deadlineMs);
        EXPECT_EQ(warnings.size(), row.warnings);
    }
}

TEST(CallLogFile, RecordStartsWithTheUtcTimeAndEndsWithAnEmptyLine)
{
    using namespace std::chrono;
    // 2024-02-29 23:59:59.007 UTC: a leap day and the last second of a day.
    const system_clock::time_point when = sys_days{year{2024} / February / 29} + hours{23} +
                                          minutes{59} + seconds{59} + milliseconds{7};
    EXPECT_EQ(callLogRecord(when, "DLL_RegisterUser", 2, "a:1,b:2", "one\ntwo\n"),
              "2024-02-29T23:59:59.007Z DLL_RegisterUser code 2 directory a:1,b:2\none\ntwo\n\n");
}

} // namespace
