#pragma once

// What the library needs of its host process besides sockets: where its own
// file lies, the environment, whole-record appends to a log file, and
// shelter from POSIX thread cancellation. Texts and paths are UTF-8 on
// every platform.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace Platform {

// The absolute path of the module this code was loaded from (the shared
// library, or the program that links it statically), fixed when it was
// loaded, so that a later change of the working folder cannot move it;
// empty when it cannot be told.
std::string moduleFilePath();

// The path made absolute against the working folder, without resolving
// links; as given when it is absolute already or cannot be made so.
std::string absolutePath(const std::string& path);

// An environment variable's value, or nothing when it is not set.
std::optional<std::string> environmentVariable(const char* name);

enum class FileRead { read, missing, failed, notRegular, tooLarge };

// The whole file into contents, when it is a regular file of at most limit
// bytes. Anything else (a FIFO, a device, a folder) is refused without
// waiting on it. missing: there is no such file.
FileRead readWholeFile(const std::string& path, std::string& contents, std::size_t limit);

// Whether the path names something that is not a regular file (a FIFO, a
// device, a folder), told without opening it for reading or writing.
bool namesSomethingElse(const std::string& path);

// Appends the bytes to the file, creating it, in one write to a handle
// opened for appending, so that the records of concurrent writers in any
// number of threads and processes never interleave. When the file does not
// end with a line feed (a record torn by a full disk), one goes first, so
// that every record starts on a line of its own. Only a regular file is
// written. False on any failure.
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
