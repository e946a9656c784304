#include "registration/RuntimeConfiguration.h"

#include "platform/Process.h"
#include "registration/ConfigurationFile.h"

#include <optional>

namespace {

// A variable set to nothing counts as not set, so that a launcher can clear
// one without removing it.
std::optional<std::string> variable(const char* name)
{
    std::optional<std::string> value = Platform::environmentVariable(name);
    if (value && value->empty()) {
        return std::nullopt;
    }
    return value;
}

} // namespace

std::string defaultConfigurationFile()
{
    const std::string module = Platform::moduleFilePath();
    const std::size_t slash = module.find_last_of("/\\");
    const std::string folder =
        slash == std::string::npos ? std::string() : module.substr(0, slash + 1);
    return folder + "register.ini";
}

RuntimeConfiguration loadRuntimeConfiguration()
{
    RuntimeConfiguration configuration;
    const std::optional<std::string> named = variable("REGISTER_CONFIG");
    const std::string file = Platform::absolutePath(named ? *named : defaultConfigurationFile());
    std::string text;
    switch (Platform::readWholeFile(file, text, maxConfigurationBytes)) {
    case Platform::FileRead::read:
        configuration.file = file;
        configuration.fault =
            parseConfiguration(text, file, configuration.settings, configuration.warnings);
        break;
    case Platform::FileRead::missing:
        // Only a file that was asked for by name must exist.
        if (named) {
            configuration.fault = file + ": no such file";
        }
        break;
    case Platform::FileRead::failed:
        configuration.file = file;
        configuration.fault = file + ": cannot be read";
        break;
    case Platform::FileRead::notRegular:
        configuration.file = file;
        configuration.fault = file + ": not a regular file";
        break;
    case Platform::FileRead::tooLarge:
        configuration.file = file;
        configuration.fault = file + ": larger than " +
                              std::to_string(maxConfigurationBytes / 1024) +
                              " KiB, so not a configuration file";
        break;
    }

    if (const auto logFile = variable("REGISTER_LOG_FILE")) {
        configuration.settings.logFile = *logFile;
    }
    if (!configuration.fault.empty()) {
        return configuration;
    }
    if (const auto directory = variable("REGISTER_DIRECTORY")) {
        const auto endpoints = parseDirectoryList(*directory);
        if (!endpoints) {
            configuration.fault =
                "REGISTER_DIRECTORY: not host:port[,host:port...]: \"" + *directory + "\"";
            return configuration;
        }
        configuration.settings.directory = endpoints;
    }
    return configuration;
}
