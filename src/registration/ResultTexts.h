#pragma once

#include <cstdint>

// Fixed English sentences for the public codes and reasons; never null.
const char* resultText(std::int32_t code) noexcept;
const char* reasonText(std::int32_t reason) noexcept;
