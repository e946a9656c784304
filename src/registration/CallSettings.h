#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The settings a call can be given from outside: by its handle, by the
// environment or by a configuration file. Each field is either set or left
// to a lower layer, down to the built-in values.
struct CallSettings {
    // "host:port" each, in the order given.
    std::optional<std::vector<std::string>> directory;
    std::optional<std::uint32_t> connectTimeoutMs;
    std::optional<std::uint32_t> sendTimeoutMs;
    std::optional<std::uint32_t> receiveTimeoutMs;
    // The whole call; 0 means none.
    std::optional<std::uint32_t> deadlineMs;
    std::optional<std::string> logFile;

    // Every field that upper sets replaces this one's.
    void overlay(const CallSettings& upper);
};

// The largest number of milliseconds a setting takes: waits are measured in
// signed 32-bit tick differences.
inline constexpr std::uint32_t maxMilliseconds = 0x7FFFFFFF;

// "host:port[,host:port...]", blanks around each item allowed; nothing when
// any item is not a host name or dotted address and a port of 1 to 65535.
std::optional<std::vector<std::string>> parseDirectoryList(std::string_view text);

// Decimal digits only, from minimum to maxMilliseconds; nothing otherwise.
std::optional<std::uint32_t> parseMilliseconds(std::string_view text, std::uint32_t minimum);

// Without the spaces, tabs and carriage returns around it: what editors and
// shells leave at the ends of a value.
std::string_view trimBlanks(std::string_view text);

// The endpoints joined by commas, as the list is written.
std::string directoryText(const std::vector<std::string>& endpoints);
