#pragma once

#include "registration/CallSettings.h"

#include <string>
#include <string_view>

// Reads the text of a configuration file: lines "key = value", blank lines
// and lines whose first non-blank character is '#'. A "directory" line adds
// to the list (the first one replaces the built-in servers); any other key
// given twice keeps its last value. Returns "" and fills settings, or a
// fault "<source> line <n>: <what>" at the first line that cannot be used.
std::string parseConfiguration(std::string_view text, const std::string& source,
                               CallSettings& settings);
