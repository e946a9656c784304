#pragma once

#include <exception>
#include <string>
#include <utility>

namespace LumenCryptMini {

// A big-number operation was misused or is impossible (division by zero, a
// result aliasing an operand it must not, a Barrett estimate out of range).
class ArithmeticException : public std::exception {
  public:
    explicit ArithmeticException(std::string message) : text(std::move(message)) {}
    const char* what() const noexcept override { return text.c_str(); }

  private:
    std::string text;
};

} // namespace LumenCryptMini
