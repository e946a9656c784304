#include "LibraryLoader.h"

#if defined(_WIN32)

#include <windows.h>

namespace {

std::string describeLastError()
{
    const DWORD code = GetLastError();
    char* text = nullptr;
    const DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string description = length > 0 ? std::string(text, length) : std::string();
    LocalFree(text);
    description.erase(description.find_last_not_of(" \r\n") + 1);
    return "error " + std::to_string(code) + (description.empty() ? "" : ": " + description);
}

} // namespace

LoadedLibrary::LoadedLibrary(const std::string& fileName)
{
    handle = LoadLibraryA(fileName.c_str());
    if (handle == nullptr) {
        lastError = describeLastError();
    }
}

LoadedLibrary::~LoadedLibrary()
{
    if (handle != nullptr) {
        FreeLibrary(static_cast<HMODULE>(handle));
    }
}

LoadedLibrary::Address LoadedLibrary::address(const char* name) const
{
    if (handle == nullptr) {
        return nullptr;
    }
    // By the plain exported name: the DLL exports no decorated ones.
    return reinterpret_cast<Address>(GetProcAddress(static_cast<HMODULE>(handle), name));
}

#else

#include <dlfcn.h>

LoadedLibrary::LoadedLibrary(const std::string& fileName)
{
    // RTLD_LOCAL keeps the library's symbols out of the host's namespace, as
    // a plugin-style host loads it.
    handle = dlopen(fileName.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* reason = dlerror();
        lastError = reason != nullptr ? reason : "dlopen failed";
    }
}

LoadedLibrary::~LoadedLibrary()
{
    if (handle != nullptr) {
        dlclose(handle);
    }
}

LoadedLibrary::Address LoadedLibrary::address(const char* name) const
{
    if (handle == nullptr) {
        return nullptr;
    }
    return reinterpret_cast<Address>(dlsym(handle, name));
}

#endif
