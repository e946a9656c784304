#pragma once

#include "registration/CallSettings.h"

#include <string>
#include <string_view>
#include <vector>

// Reads the text of a configuration file as Windows users write one: UTF-8
// with or without a byte-order mark, or UTF-16LE with one; lines
// "key = value" with keys in any case; blank lines and comment lines whose
// first non-blank character is '#' or ';'; an optional [register] section
// header, with keys in any other section ignored. A "directory" line adds to
// the list (the first one replaces the built-in servers); any other key
// given twice keeps its last value. An unknown key, so that a file written
// for a later version still works, and a foreign section are each a warning
// "<source> line <n>: <what>". Returns "" and fills settings, or a fault
// "<source> line <n>: <what>" at the first line that cannot be used.
std::string parseConfiguration(std::string_view text, const std::string& source,
                               CallSettings& settings, std::vector<std::string>& warnings);
