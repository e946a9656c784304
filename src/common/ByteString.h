#pragma once

#include <cstdint>
#include <vector>

// An owned, growable run of bytes. Zero bytes are ordinary content: nothing
// here is terminated.
using ByteString = std::vector<std::uint8_t>;
