// Loads a shared library by file name at run time and finds its functions by
// name, the way a host program uses the register library.
#pragma once

#include <string>

class LoadedLibrary {
  public:
    // Loads the library; on failure isLoaded() is false and error() says why.
    explicit LoadedLibrary(const std::string& fileName);
    ~LoadedLibrary();
    LoadedLibrary(const LoadedLibrary&) = delete;
    LoadedLibrary& operator=(const LoadedLibrary&) = delete;

    bool isLoaded() const { return handle != nullptr; }
    const std::string& error() const { return lastError; }

    // The exported function of that name, or null when there is none.
    template <typename Function> Function function(const char* name) const
    {
        return reinterpret_cast<Function>(address(name));
    }

  private:
    using Address = void (*)();
    Address address(const char* name) const;

    void* handle = nullptr;
    std::string lastError;
};
