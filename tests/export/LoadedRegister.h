// The built library as a host loads it, with the environment and the
// loopback service that the interface tests set around it.
#pragma once

#include "LibraryLoader.h"
#include "test-service/DBProxyServer.h"
#include "test-service/DirectoryServer.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <register/register.h>
#include <string>
#include <vector>

// Every export, looked up by name in one loaded copy of the library.
struct RegisterFunctions {
    explicit RegisterFunctions(const std::string& file);

    LoadedLibrary library;
    decltype(&DLL_RegisterUser) registerUser;
    decltype(&DLL_RegisterUserEx) registerUserEx;
    decltype(&DLL_RegisterCallCreate) create;
    decltype(&DLL_RegisterCallDestroy) destroy;
    decltype(&DLL_RegisterCallSetNumber) setNumber;
    decltype(&DLL_RegisterCallSetText) setText;
    decltype(&DLL_RegisterCallSetProgress) setProgress;
    decltype(&DLL_RegisterCallRun) run;
    decltype(&DLL_RegisterCallCancel) cancel;
    decltype(&DLL_RegisterCallGetNumber) getNumber;
    decltype(&DLL_RegisterCallGetInfo) getInfo;
    decltype(&DLL_RegisterCallGetText) getText;
    decltype(&DLL_RegisterResultText) resultText;
    decltype(&DLL_RegisterReasonText) reasonText;
    decltype(&DLL_RegisterVersion) version;
    decltype(&DLL_RegisterVersionNumber) versionNumber;

    bool complete() const;
    // A whole text info, asked for by length first.
    std::string text(RegisterCall* call, std::int32_t info) const;
    // DLL_RegisterUserEx's code and log.
    std::pair<std::int32_t, std::string> registerWithLog(const char* text) const;
};

// Sets environment variables for its lifetime and restores them after; the
// library's own configuration variables start unset.
class ScopedEnvironment {
  public:
    ScopedEnvironment();
    ~ScopedEnvironment();
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;
    void set(const char* name, const std::string& value);

  private:
    std::vector<std::pair<std::string, std::optional<std::string>>> saved;
};

// A folder of its own holding a copy of the library, so that a register.ini
// written beside it reaches no other test.
class LibraryCopy {
  public:
    LibraryCopy();
    ~LibraryCopy();
    LibraryCopy(const LibraryCopy&) = delete;
    LibraryCopy& operator=(const LibraryCopy&) = delete;
    const std::string& folder() const { return directory; }
    std::string libraryFile() const;
    void writeFile(const std::string& name, const std::string& text) const;

  private:
    std::string directory;
};

// The event lines of the loopback servers a test starts.
class EventLog {
  public:
    testservice::LogSink sink();
    std::vector<std::string> lines() const;
    // Waits up to a few seconds for a line containing the text.
    bool await(const std::string& text) const;

  private:
    mutable std::mutex guard;
    std::vector<std::string> events;
};

// A directory server on an ephemeral loopback port listing the DBProxies.
std::unique_ptr<testservice::DirectoryServer>
directoryListing(std::vector<const testservice::DBProxyServer*> dbProxies,
                 testservice::DirectoryBehaviour behaviour = {}, EventLog* events = nullptr);

// A behaviour with the changes a test makes to its defaults.
template <typename Behaviour, typename Change> Behaviour changed(Change change)
{
    Behaviour behaviour;
    change(behaviour);
    return behaviour;
}

inline testservice::DirectoryBehaviour directoryMode(testservice::DirectoryBehaviour::Mode mode)
{
    return changed<testservice::DirectoryBehaviour>([mode](auto& b) { b.mode = mode; });
}

// The log of one successful registration against a service on loopback.
std::string successLog();
