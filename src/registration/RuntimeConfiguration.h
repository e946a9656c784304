#pragma once

#include "registration/CallSettings.h"

#include <cstddef>
#include <string>
#include <vector>

// What the host's surroundings configure for a call, read afresh for each
// one: the file register.ini beside the library (or the file named by
// REGISTER_CONFIG instead), then REGISTER_DIRECTORY and REGISTER_LOG_FILE,
// which win over the file. Nothing of it when neither exists.
struct RuntimeConfiguration {
    CallSettings settings;
    // The absolute path of the file that was read, or refused; empty when
    // there was none.
    std::string file;
    // Lines the file's reader passed over, each "<file> line <n>: <what>".
    std::vector<std::string> warnings;
    // Empty when the configuration can be used; otherwise where and what the
    // fault is. settings then holds what was read before it.
    std::string fault;
};

// A configuration file is a few lines; anything larger is not one.
inline constexpr std::size_t maxConfigurationBytes = 64 * 1024;

RuntimeConfiguration loadRuntimeConfiguration();

// The file a call reads when REGISTER_CONFIG is not set.
std::string defaultConfigurationFile();
