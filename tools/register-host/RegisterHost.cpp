// A host program for the register library: loads it by file name, calls its
// registration entry point with the command-line arguments and shows what
// came back.

#include "LibraryLoader.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <register/register.h>
#include <string>
#include <vector>

namespace {

using RegisterUser = int32_t(REGISTER_CALL*)(const char*, int32_t, int32_t, int32_t, int32_t,
                                             int32_t);
using RegisterUserEx = int32_t(REGISTER_CALL*)(const char*, int32_t, int32_t, int32_t, int32_t,
                                               int32_t, char*, int32_t, int32_t*, char*, int32_t,
                                               int32_t*);

const char* meaning(int32_t code)
{
    switch (code) {
    case REGISTER_RESULT_SUCCESS:
        return "registered: the service accepted the registration";
    case REGISTER_RESULT_INTERNAL_ERROR:
        return "internal error: the call failed unexpectedly";
    case REGISTER_RESULT_DIRECTORY_FAILED:
        return "directory lookup failed: no registration server was found";
    case REGISTER_RESULT_REGISTRATION_FAILED:
        return "registration failed: no registration server accepted the registration";
    default:
        return "unknown code";
    }
}

void printResult(const std::vector<char>& result)
{
    bool printable = true;
    for (char c : result) {
        const auto byte = static_cast<unsigned char>(c);
        printable = printable && byte >= 0x20 && byte < 0x7F;
    }
    if (printable) {
        std::printf("result: \"%.*s\"\n", static_cast<int>(result.size()), result.data());
        return;
    }
    std::printf("result (hex):");
    for (char c : result) {
        std::printf(" %02X", static_cast<unsigned char>(c));
    }
    std::printf("\n");
}

int32_t argumentNumber(int argc, char** argv, int index)
{
    return index < argc ? static_cast<int32_t>(std::strtol(argv[index], nullptr, 0)) : 0;
}

int usage()
{
    std::fprintf(stderr, "usage: register-host [--library FILE] TEXT [SETTING [FLAG1 [FLAG2 "
                         "[FLAG3 [RESERVED]]]]]\n"
                         "  FILE defaults to the library this build produced.\n");
    return 64;
}

} // namespace

int main(int argc, char** argv)
{
    std::string libraryFile = REGISTER_LIBRARY_FILE;
    int first = 1;
    if (first + 1 < argc && std::strcmp(argv[first], "--library") == 0) {
        libraryFile = argv[first + 1];
        first += 2;
    }
    if (first >= argc) {
        return usage();
    }
    const char* text = argv[first];
    const int32_t setting = argumentNumber(argc, argv, first + 1);
    const int32_t flag1 = argumentNumber(argc, argv, first + 2);
    const int32_t flag2 = argumentNumber(argc, argv, first + 3);
    const int32_t flag3 = argumentNumber(argc, argv, first + 4);
    const int32_t reserved = argumentNumber(argc, argv, first + 5);

    LoadedLibrary library(libraryFile);
    if (!library.isLoaded()) {
        std::fprintf(stderr, "cannot load %s: %s\n", libraryFile.c_str(), library.error().c_str());
        return 69;
    }

    int32_t code = 0;
    if (auto registerUserEx = library.function<RegisterUserEx>("DLL_RegisterUserEx")) {
        // One call only: asking again for more room would register twice.
        // A result string never exceeds 65,535 bytes; the log of even a long
        // failover fits the room given here, and a longer one is reported cut.
        std::vector<char> result(65536);
        std::vector<char> log(1 << 20);
        int32_t resultLength = 0;
        int32_t logLength = 0;
        code = registerUserEx(text, setting, flag1, flag2, flag3, reserved, result.data(),
                              static_cast<int32_t>(result.size()), &resultLength, log.data(),
                              static_cast<int32_t>(log.size()), &logLength);
        result.resize(std::min(result.size() - 1, static_cast<std::size_t>(resultLength)));
        std::printf("code: %d (%s)\n", code, meaning(code));
        printResult(result);
        const std::size_t shown = std::min(log.size() - 1, static_cast<std::size_t>(logLength));
        std::printf("log:\n%.*s", static_cast<int>(shown), log.data());
        if (shown < static_cast<std::size_t>(logLength)) {
            std::printf("(log cut: %d bytes in all)\n", logLength);
        }
    } else if (auto registerUser = library.function<RegisterUser>("DLL_RegisterUser")) {
        code = registerUser(text, setting, flag1, flag2, flag3, reserved);
        std::printf("code: %d (%s)\n", code, meaning(code));
    } else {
        std::fprintf(stderr, "%s exports no DLL_RegisterUser\n", libraryFile.c_str());
        return 69;
    }
    return code;
}
