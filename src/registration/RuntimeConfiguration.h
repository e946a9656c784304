#pragma once

#include "registration/CallSettings.h"

#include <string>

// What the host's surroundings configure for a call, read afresh for each
// one: the file register.ini beside the library (or the file named by
// REGISTER_CONFIG instead), then REGISTER_DIRECTORY and REGISTER_LOG_FILE,
// which win over the file. Nothing of it when neither exists.
struct RuntimeConfiguration {
    CallSettings settings;
    // Empty when the configuration can be used; otherwise where and what the
    // fault is. settings then holds what was read before it.
    std::string fault;
};

RuntimeConfiguration loadRuntimeConfiguration();

// The file a call reads when REGISTER_CONFIG is not set.
std::string defaultConfigurationFile();
