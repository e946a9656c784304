#pragma once

#include "common/ByteString.h"

#include <map>
#include <random>
#include <string>
#include <string_view>
#include <vector>

// Records of a known-answer file in tests/crypt/data: "Name = hex" lines,
// records separated by blank lines, '#' starting a comment line.
using KnownAnswer = std::map<std::string, ByteString>;
std::vector<KnownAnswer> readKnownAnswers(const std::string& fileName);

ByteString fromHex(std::string_view hex);
ByteString randomBytes(std::mt19937& random, std::size_t length);
ByteString concat(ByteString a, const ByteString& b);
