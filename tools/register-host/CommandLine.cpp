#include "CommandLine.h"

#include "ExitStatus.h"

#include <array>
#include <charconv>
#include <limits>
#include <string_view>
#include <vector>

namespace {

// Decimal or 0x hexadecimal, optionally negative, nothing around it: a
// typo must not turn into a number that registers something else.
std::optional<std::int64_t> parseInteger(std::string_view text)
{
    const bool negative = text.starts_with('-');
    if (negative) {
        text.remove_prefix(1);
    }
    int base = 10;
    if (text.starts_with("0x") || text.starts_with("0X")) {
        base = 16;
        text.remove_prefix(2);
    }
    std::uint32_t magnitude = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, magnitude, base);
    if (text.empty() || error != std::errc() || stop != end) {
        return std::nullopt;
    }
    return negative ? -std::int64_t{magnitude} : std::int64_t{magnitude};
}

std::optional<std::int32_t> parseInt32(std::string_view text, std::int64_t lowest)
{
    const auto value = parseInteger(text);
    if (!value || *value < lowest || *value > std::numeric_limits<std::int32_t>::max()) {
        return std::nullopt;
    }
    return static_cast<std::int32_t>(*value);
}

std::optional<std::int32_t> parseMilliseconds(std::string_view text)
{
    return parseInt32(text, 0);
}

struct OptionRule {
    std::string_view name;
    std::string_view accepts; // empty for a switch, which takes no value
    bool handleOnly;
    // False when the value is not one the option accepts.
    bool (*apply)(HostOptions& options, std::string_view value);
};

const std::array<OptionRule, 9> optionRules = {{
    {"--library", "a file name", false,
     [](HostOptions& options, std::string_view value) {
         options.libraryFile = value;
         return true;
     }},
    {"--directory", "HOST:PORT[,HOST:PORT...]", true,
     [](HostOptions& options, std::string_view value) {
         options.directory = std::string(value);
         return true;
     }},
    {"--config", "a file name", true,
     [](HostOptions& options, std::string_view value) {
         options.configFile = std::string(value);
         return true;
     }},
    {"--log-file", "a file name", true,
     [](HostOptions& options, std::string_view value) {
         options.logFile = std::string(value);
         return true;
     }},
    {"--deadline", "milliseconds from 0 to 2147483647", true,
     [](HostOptions& options, std::string_view value) {
         options.deadlineMs = parseMilliseconds(value);
         return options.deadlineMs.has_value();
     }},
    {"--cancel-after", "milliseconds from 0 to 2147483647", true,
     [](HostOptions& options, std::string_view value) {
         options.cancelAfterMs = parseMilliseconds(value);
         return options.cancelAfterMs.has_value();
     }},
    {"--progress", "", true,
     [](HostOptions& options, std::string_view) { return options.progress = true; }},
    {"--help", "", false,
     [](HostOptions& options, std::string_view) { return options.help = true; }},
    {"--version", "", false,
     [](HostOptions& options, std::string_view) { return options.version = true; }},
}};

const OptionRule* findRule(std::string_view name)
{
    for (const OptionRule& rule : optionRules) {
        if (rule.name == name) {
            return &rule;
        }
    }
    return nullptr;
}

std::string quoted(std::string_view text)
{
    return "\"" + std::string(text) + "\"";
}

// Reads the options from argv[index] on and leaves index at the first
// argument of the registration. Returns the usage error, or an empty string.
std::string parseOptions(int argc, const char* const* argv, int& index, HostOptions& options)
{
    for (; index < argc; ++index) {
        const std::string_view argument = argv[index];
        if (argument == "--") {
            ++index;
            return {};
        }
        // A single '-' is a text; anything else with a dash is meant as an
        // option, and registering it as a text would be the worse mistake.
        if (argument.size() < 2 || argument[0] != '-') {
            return {};
        }
        const std::size_t equals = argument.find('=');
        const std::string_view name = argument.substr(0, equals);
        const OptionRule* rule = findRule(name);
        if (rule == nullptr) {
            return "unknown option " + quoted(argument);
        }
        std::string_view value;
        if (rule->accepts.empty()) {
            if (equals != std::string_view::npos) {
                return std::string(name) + " takes no value";
            }
        } else if (equals != std::string_view::npos) {
            value = argument.substr(equals + 1);
        } else if (index + 1 < argc && !std::string_view(argv[index + 1]).starts_with("--")) {
            value = argv[++index];
        }
        if (!rule->accepts.empty() && value.empty()) {
            return std::string(name) + " needs a value: " + std::string(rule->accepts);
        }
        if (!rule->apply(options, value)) {
            return std::string(name) + " takes " + std::string(rule->accepts) + ", not " +
                   quoted(value);
        }
        if (rule->handleOnly && options.handleOnlyOption.empty()) {
            options.handleOnlyOption = name;
        }
    }
    return {};
}

std::string parseRegistration(const std::vector<std::string_view>& arguments, HostOptions& options)
{
    static constexpr std::array<std::string_view, 5> names = {"SETTING", "FLAG1", "FLAG2", "FLAG3",
                                                              "RESERVED"};
    const std::array<std::int32_t*, 5> fields = {&options.setting, &options.flag1, &options.flag2,
                                                 &options.flag3, &options.reserved};
    if (arguments.empty()) {
        return "no TEXT to register";
    }
    if (arguments.size() > 1 + names.size()) {
        return "too many arguments from " + quoted(arguments[1 + names.size()]) + " on";
    }
    options.text = arguments[0];
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        const auto value = parseInt32(arguments[i], std::numeric_limits<std::int32_t>::min());
        if (!value) {
            return std::string(names[i - 1]) + " takes a 32-bit integer, not " +
                   quoted(arguments[i]);
        }
        *fields[i - 1] = *value;
    }
    return {};
}

} // namespace

CommandLine parseCommandLine(int argc, const char* const* argv)
{
    CommandLine line;
    line.options.libraryFile = REGISTER_LIBRARY_FILE;
    int index = 1;
    line.error = parseOptions(argc, argv, index, line.options);
    if (line.error.empty() && !line.options.help && !line.options.version) {
        line.error = parseRegistration(std::vector<std::string_view>(argv + index, argv + argc),
                                       line.options);
    }
    return line;
}

void printUsage(std::FILE* stream)
{
    std::fprintf(
        stream,
        "usage: register-host [OPTIONS] [--] TEXT [SETTING [FLAG1 [FLAG2 [FLAG3 [RESERVED]]]]]\n"
        "Loads the register library by file name, registers TEXT once and prints the\n"
        "code, the reason, the server, the result string and the progress log.\n"
        "SETTING and the flags are 32-bit integers, decimal or 0x hexadecimal, 0 when\n"
        "left out; RESERVED is accepted and ignored.\n"
        "\n"
        "  --library FILE       the library to load (default %s)\n"
        "  --directory HOST:PORT[,HOST:PORT...]\n"
        "                       the directory servers to ask\n"
        "  --config FILE        the configuration file (sets REGISTER_CONFIG)\n"
        "  --deadline MS        the whole registration's deadline; 0 means none\n"
        "  --cancel-after MS    cancels the registration from another thread\n"
        "  --log-file FILE      the library appends a record of the call to FILE\n"
        "  --progress           prints each log line as it is written\n"
        "  --help               this text\n"
        "  --version            the versions of this program and of the library\n"
        "  --                   ends the options, for a TEXT that starts with '-'\n"
        "MS is 0 to 2147483647. A value may also follow an option after '='. Every\n"
        "option but --library, --help and --version needs a library of version 1.1\n"
        "or later.\n"
        "\n"
        "Exit status:\n"
        "  0   registered\n"
        "  1   the host failed: the library returned a code outside 0 to 100 or\n"
        "      made no call handle\n"
        "  2   usage error: nothing was registered\n"
        "  3   the library cannot be loaded or lacks the functions needed\n"
        "  10 + the library's code when the registration failed: 11 internal error,\n"
        "      12 directory failed, 14 registration failed, 15 cancelled,\n"
        "      16 deadline expired\n",
        REGISTER_LIBRARY_FILE);
}

int usageError(const std::string& message)
{
    std::fprintf(stderr, "register-host: %s\n", message.c_str());
    printUsage(stderr);
    return exitUsageError;
}
