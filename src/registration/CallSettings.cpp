#include "registration/CallSettings.h"

namespace {

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

// Letters, digits, '.', '-' and '_': what host names and dotted addresses
// are made of. Anything else (a blank, a second colon) is a typing error
// that name lookup would only turn into a silent failure later.
bool isHostText(std::string_view host)
{
    if (host.empty() || host.size() > 253) {
        return false;
    }
    for (const char c : host) {
        const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        if (!letter && !isDigit(c) && c != '.' && c != '-' && c != '_') {
            return false;
        }
    }
    return true;
}

bool isEndpoint(std::string_view text)
{
    const std::size_t colon = text.find(':');
    if (colon == std::string_view::npos) {
        return false;
    }
    const std::string_view port = text.substr(colon + 1);
    if (port.empty() || port.size() > 5) {
        return false;
    }
    std::uint32_t value = 0;
    for (const char c : port) {
        if (!isDigit(c)) {
            return false;
        }
        value = value * 10 + static_cast<std::uint32_t>(c - '0');
    }
    return value >= 1 && value <= 65535 && isHostText(text.substr(0, colon));
}

} // namespace

std::string_view trimBlanks(std::string_view text)
{
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
    while (!text.empty() && blank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && blank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

void CallSettings::overlay(const CallSettings& upper)
{
    const auto take = [](auto& field, const auto& upperField) {
        if (upperField) {
            field = upperField;
        }
    };
    take(directory, upper.directory);
    take(connectTimeoutMs, upper.connectTimeoutMs);
    take(sendTimeoutMs, upper.sendTimeoutMs);
    take(receiveTimeoutMs, upper.receiveTimeoutMs);
    take(deadlineMs, upper.deadlineMs);
    take(logFile, upper.logFile);
}

std::optional<std::vector<std::string>> parseDirectoryList(std::string_view text)
{
    std::vector<std::string> endpoints;
    for (;;) {
        const std::size_t comma = text.find(',');
        const std::string_view item = trimBlanks(text.substr(0, comma));
        if (!isEndpoint(item)) {
            return std::nullopt;
        }
        endpoints.emplace_back(item);
        if (comma == std::string_view::npos) {
            return endpoints;
        }
        text.remove_prefix(comma + 1);
    }
}

std::optional<std::uint32_t> parseMilliseconds(std::string_view text, std::uint32_t minimum)
{
    if (text.empty() || text.size() > 10) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    for (const char c : text) {
        if (!isDigit(c)) {
            return std::nullopt;
        }
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (value < minimum || value > maxMilliseconds) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(value);
}

std::string directoryText(const std::vector<std::string>& endpoints)
{
    std::string text;
    for (const std::string& endpoint : endpoints) {
        if (!text.empty()) {
            text.push_back(',');
        }
        text += endpoint;
    }
    return text;
}
