#include "OneCallRegistration.h"

#include "ExitStatus.h"
#include "RegistrationOutput.h"

#include <algorithm>
#include <cstdio>
#include <register/register.h>
#include <string_view>
#include <vector>

namespace {

// Such a library has no DLL_RegisterResultText to ask.
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

} // namespace

int registerThroughOneCall(const LoadedLibrary& library, const HostOptions& options)
{
    const HostOptions& o = options;
    if (auto registerUserEx =
            library.function<decltype(&DLL_RegisterUserEx)>("DLL_RegisterUserEx")) {
        // One call only: asking again for more room would register twice.
        // A result string never exceeds 65,535 bytes; the log of even a long
        // failover fits the room given here, and a longer one is reported cut.
        std::vector<char> result(65536);
        std::vector<char> log(1 << 20);
        int32_t resultLength = 0;
        int32_t logLength = 0;
        const int32_t code =
            registerUserEx(o.text.c_str(), o.setting, o.flag1, o.flag2, o.flag3, o.reserved,
                           result.data(), static_cast<int32_t>(result.size()), &resultLength,
                           log.data(), static_cast<int32_t>(log.size()), &logLength);
        const auto shownResult =
            std::min(result.size() - 1, static_cast<std::size_t>(resultLength));
        const auto shownLog = std::min(log.size() - 1, static_cast<std::size_t>(logLength));
        std::printf("code: %d (%s)\n", code, meaning(code));
        printResult({result.data(), shownResult});
        printLog({log.data(), shownLog});
        if (shownLog < static_cast<std::size_t>(logLength)) {
            std::printf("(log cut: %d bytes in all)\n", logLength);
        }
        return exitStatusForCode(code);
    }
    if (auto registerUser = library.function<decltype(&DLL_RegisterUser)>("DLL_RegisterUser")) {
        const int32_t code =
            registerUser(o.text.c_str(), o.setting, o.flag1, o.flag2, o.flag3, o.reserved);
        std::printf("code: %d (%s)\n", code, meaning(code));
        return exitStatusForCode(code);
    }
    std::fprintf(stderr, "register-host: %s exports no DLL_RegisterUser\n", o.libraryFile.c_str());
    return exitLibraryUnusable;
}
