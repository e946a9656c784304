#include "registration/ConfigurationFile.h"

#include <cstdint>
#include <optional>

namespace {

// Applies one key and value; the fault's text, or "" when it was used.
std::string apply(std::string_view key, std::string_view value, CallSettings& settings)
{
    const std::string quoted = "\"" + std::string(value) + "\"";
    if (key == "directory") {
        const auto endpoints = parseDirectoryList(value);
        if (!endpoints) {
            return "not host:port[,host:port...]: " + quoted;
        }
        if (!settings.directory) {
            settings.directory.emplace();
        }
        settings.directory->insert(settings.directory->end(), endpoints->begin(), endpoints->end());
        return {};
    }
    if (key == "log_file") {
        if (value.empty()) {
            return "log_file needs a file name";
        }
        settings.logFile = std::string(value);
        return {};
    }
    const struct {
        std::string_view name;
        std::optional<std::uint32_t> CallSettings::*field;
        std::uint32_t minimum;
    } numbers[] = {
        {"connect_timeout_ms", &CallSettings::connectTimeoutMs, 1},
        {"send_timeout_ms", &CallSettings::sendTimeoutMs, 1},
        {"receive_timeout_ms", &CallSettings::receiveTimeoutMs, 1},
        {"deadline_ms", &CallSettings::deadlineMs, 0},
    };
    for (const auto& number : numbers) {
        if (key == number.name) {
            const auto parsed = parseMilliseconds(value, number.minimum);
            if (!parsed) {
                return "not a number of milliseconds from " + std::to_string(number.minimum) +
                       " to " + std::to_string(maxMilliseconds) + ": " + quoted;
            }
            settings.*number.field = parsed;
            return {};
        }
    }
    return "unknown key \"" + std::string(key) + "\"";
}

} // namespace

std::string parseConfiguration(std::string_view text, const std::string& source,
                               CallSettings& settings)
{
    // Editors on Windows may start a UTF-8 file with a byte-order mark.
    constexpr std::string_view byteOrderMark = "\xEF\xBB\xBF";
    if (text.substr(0, byteOrderMark.size()) == byteOrderMark) {
        text.remove_prefix(byteOrderMark.size());
    }
    std::size_t lineNumber = 0;
    while (!text.empty()) {
        ++lineNumber;
        const std::size_t end = text.find('\n');
        const std::string_view line = trimBlanks(text.substr(0, end));
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (line.empty() || line.front() == '#') {
            continue;
        }
        const std::string where = source + " line " + std::to_string(lineNumber) + ": ";
        const std::size_t equals = line.find('=');
        if (equals == std::string_view::npos) {
            return where + "not key = value: \"" + std::string(line) + "\"";
        }
        const std::string fault = apply(trimBlanks(line.substr(0, equals)),
                                        trimBlanks(line.substr(equals + 1)), settings);
        if (!fault.empty()) {
            return where + fault;
        }
    }
    return {};
}
