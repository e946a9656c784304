// A host program for the register library: loads it by file name, registers
// the text of its command line once and shows what came back. It drives the
// call handle of a 1.1 library and falls back to the one-call interface of an
// older one.

#include "CallFunctions.h"
#include "CallRegistration.h"
#include "CommandLine.h"
#include "ExitStatus.h"
#include "LibraryLoader.h"
#include "OneCallRegistration.h"

#include <cstdio>
#include <cstdlib>
#include <register/register.h>
#include <string>

namespace {

// The library reads its configuration from the environment at every call,
// so this is how a host chooses the file.
bool setEnvironmentVariable(const char* name, const std::string& value)
{
#if defined(_WIN32)
    return _putenv_s(name, value.c_str()) == 0;
#else
    return setenv(name, value.c_str(), 1) == 0;
#endif
}

void printLibraryVersion(const LoadedLibrary& library, const std::string& libraryFile)
{
    if (auto version = library.function<decltype(&DLL_RegisterVersion)>("DLL_RegisterVersion")) {
        std::printf("library %s (%s)\n", version(), libraryFile.c_str());
    } else {
        std::printf("library older than 1.1, without DLL_RegisterVersion (%s)\n",
                    libraryFile.c_str());
    }
}

} // namespace

int main(int argc, char** argv)
{
    const CommandLine line = parseCommandLine(argc, argv);
    if (!line.error.empty()) {
        return usageError(line.error);
    }
    const HostOptions& options = line.options;
    if (options.help) {
        printUsage(stdout);
        return exitSuccess;
    }
    if (options.configFile && !setEnvironmentVariable("REGISTER_CONFIG", *options.configFile)) {
        std::fprintf(stderr, "register-host: cannot set REGISTER_CONFIG\n");
        return exitHostFailure;
    }

    if (options.version) {
        std::printf("register-host %d.%d.%d\n", REGISTER_VERSION_MAJOR, REGISTER_VERSION_MINOR,
                    REGISTER_VERSION_PATCH);
    }
    const LoadedLibrary library(options.libraryFile);
    if (!library.isLoaded()) {
        std::fprintf(stderr, "register-host: cannot load %s: %s\n", options.libraryFile.c_str(),
                     library.error().c_str());
        return exitLibraryUnusable;
    }
    if (options.version) {
        printLibraryVersion(library, options.libraryFile);
        return exitSuccess;
    }

    const CallFunctions functions(library);
    if (functions.create != nullptr && functions.missing == nullptr) {
        return registerThroughCall(functions, options);
    }
    if (functions.create != nullptr) {
        std::fprintf(stderr, "register-host: %s has DLL_RegisterCallCreate but no %s\n",
                     options.libraryFile.c_str(), functions.missing);
        return exitLibraryUnusable;
    }
    if (!options.handleOnlyOption.empty()) {
        std::fprintf(stderr,
                     "register-host: %s needs the call handle of a library of version 1.1 or "
                     "later; %s has no DLL_RegisterCallCreate\n",
                     options.handleOnlyOption.c_str(), options.libraryFile.c_str());
        return exitLibraryUnusable;
    }
    return registerThroughOneCall(library, options);
}
