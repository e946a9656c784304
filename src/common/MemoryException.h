#pragma once

#include <cstdint>
#include <exception>
#include <map>
#include <string>

namespace LumenCommon {

// The common library's memory exception. Nothing on the registration path
// raises it (allocation failures surface as std::bad_alloc), but it is part of
// the library's error vocabulary and keeps its fixed description format.
class MemoryException : public std::exception {
  public:
    static constexpr std::int32_t code = 1;

    MemoryException() = default;
    const char* what() const noexcept override { return text.c_str(); }

    [[noreturn]] virtual void raise() const;
    // "Exception (<code>) <description>", the description taken from
    // exceptionDescriptions or "Undefined exception." when it has none.
    virtual void describe();

  private:
    std::string text;
};

// Code-to-description table consulted by describe(); empty in this library.
extern const std::map<std::int32_t, const char*> exceptionDescriptions;
extern MemoryException memoryExceptionInstance;

} // namespace LumenCommon
