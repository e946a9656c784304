#pragma once

// What the library needs of its host process besides sockets: where its own
// file lies, the environment, whole-record appends to a log file, and
// shelter from POSIX thread cancellation. Texts and paths are UTF-8 on
// every platform.

#include <optional>
#include <string>
#include <string_view>

namespace Platform {

// The full path of the module this code was loaded from (the shared library,
// or the program that links it statically); empty when it cannot be told.
std::string moduleFilePath();

// An environment variable's value, or nothing when it is not set.
std::optional<std::string> environmentVariable(const char* name);

enum class FileRead { read, missing, failed };

// The whole file into contents. missing: there is no such file.
FileRead readWholeFile(const std::string& path, std::string& contents);

// Appends the bytes to the file, creating it, in one write to a handle
// opened for appending, so that the records of concurrent writers in any
// number of threads and processes never interleave. False on any failure.
bool appendWhole(const std::string& path, std::string_view bytes);

// Holds off POSIX thread cancellation while it lives, so that a host that
// cancels its thread inside a call is cancelled only once the call has
// returned; restores the previous state. Nothing to do on Windows.
class CancellationShield {
  public:
    CancellationShield() noexcept;
    ~CancellationShield();
    CancellationShield(const CancellationShield&) = delete;
    CancellationShield& operator=(const CancellationShield&) = delete;

  private:
    int previousState = 0;
};

} // namespace Platform
