#pragma once

#include <exception>
#include <string>
#include <utility>

// A received message is shorter than its parser needs. Handlers log their own
// fixed text and never read this one.
class DataException : public std::exception {
  public:
    explicit DataException(std::string message) : text(std::move(message)) {}
    const char* what() const noexcept override { return text.c_str(); }

  private:
    std::string text;
};
