#include "registration/ConfigurationFile.h"

#include <cstdint>
#include <optional>
#include <string>

namespace {

constexpr std::string_view unknownKey = "unknown key";

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
    return std::string(unknownKey);
}

// Notepad's "Unicode": UTF-16LE after its byte-order mark, as UTF-8. A lone
// surrogate becomes U+FFFD, as Windows' own conversion makes it.
std::string utf8FromUtf16le(std::string_view bytes)
{
    std::string text;
    text.reserve(bytes.size());
    const auto unit = [&](std::size_t at) {
        return static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at])) |
               static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + 1])) << 8;
    };
    for (std::size_t at = 0; at + 1 < bytes.size(); at += 2) {
        std::uint32_t code = unit(at);
        if (code >= 0xD800 && code <= 0xDBFF && at + 3 < bytes.size() && unit(at + 2) >= 0xDC00 &&
            unit(at + 2) <= 0xDFFF) {
            code = 0x10000 + ((code - 0xD800) << 10) + (unit(at + 2) - 0xDC00);
            at += 2;
        } else if (code >= 0xD800 && code <= 0xDFFF) {
            code = 0xFFFD;
        }
        if (code < 0x80) {
            text.push_back(static_cast<char>(code));
        } else if (code < 0x800) {
            text.push_back(static_cast<char>(0xC0 | code >> 6));
            text.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        } else if (code < 0x10000) {
            text.push_back(static_cast<char>(0xE0 | code >> 12));
            text.push_back(static_cast<char>(0x80 | (code >> 6 & 0x3F)));
            text.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        } else {
            text.push_back(static_cast<char>(0xF0 | code >> 18));
            text.push_back(static_cast<char>(0x80 | (code >> 12 & 0x3F)));
            text.push_back(static_cast<char>(0x80 | (code >> 6 & 0x3F)));
            text.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        }
    }
    return text;
}

std::string lowerCase(std::string_view text)
{
    std::string lower(text);
    for (char& c : lower) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return lower;
}

} // namespace

std::string parseConfiguration(std::string_view text, const std::string& source,
                               CallSettings& settings, std::vector<std::string>& warnings)
{
    // Editors on Windows may start a file with a byte-order mark.
    constexpr std::string_view utf8Mark = "\xEF\xBB\xBF";
    constexpr std::string_view utf16leMark = "\xFF\xFE";
    std::string decoded;
    if (text.substr(0, utf8Mark.size()) == utf8Mark) {
        text.remove_prefix(utf8Mark.size());
    } else if (text.substr(0, utf16leMark.size()) == utf16leMark) {
        decoded = utf8FromUtf16le(text.substr(utf16leMark.size()));
        text = decoded;
    }
    bool inForeignSection = false;
    std::size_t lineNumber = 0;
    while (!text.empty()) {
        ++lineNumber;
        const std::size_t end = text.find('\n');
        const std::string_view line = trimBlanks(text.substr(0, end));
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (line.empty() || line.front() == '#' || line.front() == ';') {
            continue;
        }
        const std::string where = source + " line " + std::to_string(lineNumber) + ": ";
        if (line.front() == '[' && line.back() == ']') {
            const std::string section = lowerCase(trimBlanks(line.substr(1, line.size() - 2)));
            inForeignSection = section != "register";
            if (inForeignSection) {
                warnings.push_back(where + "section " + std::string(line) +
                                   " is not [register]; its keys are ignored");
            }
            continue;
        }
        if (inForeignSection) {
            continue;
        }
        const std::size_t equals = line.find('=');
        if (equals == std::string_view::npos) {
            return where + "not key = value: \"" + std::string(line) + "\"";
        }
        const std::string_view key = trimBlanks(line.substr(0, equals));
        const std::string fault =
            apply(lowerCase(key), trimBlanks(line.substr(equals + 1)), settings);
        if (fault == unknownKey) {
            warnings.push_back(where + "unknown key \"" + std::string(key) + "\" ignored");
        } else if (!fault.empty()) {
            return where + fault;
        }
    }
    return {};
}
