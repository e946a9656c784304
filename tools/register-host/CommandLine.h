// The register-host command line: options first, then the arguments of the
// registration. Parsing only reads the arguments; nothing is loaded or sent.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

struct HostOptions {
    std::string libraryFile;
    std::optional<std::string> directory;
    std::optional<std::string> configFile;
    std::optional<std::string> logFile;
    std::optional<std::int32_t> deadlineMs;
    std::optional<std::int32_t> cancelAfterMs;
    bool progress = false;
    bool help = false;
    bool version = false;
    // The first option given that only the call handle can honour: a library
    // without it would register and silently ignore the option.
    std::string handleOnlyOption;

    std::string text;
    std::int32_t setting = 0;
    std::int32_t flag1 = 0;
    std::int32_t flag2 = 0;
    std::int32_t flag3 = 0;
    std::int32_t reserved = 0;
};

struct CommandLine {
    HostOptions options;
    std::string error; // empty unless the command line is a usage error
};

CommandLine parseCommandLine(int argc, const char* const* argv);

void printUsage(std::FILE* stream);

// Says what is wrong and how the command line goes, on stderr; returns the
// usage error's exit status.
int usageError(const std::string& message);
