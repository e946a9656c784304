#include "CallRegistration.h"

#include "CancelTimer.h"
#include "ExitStatus.h"
#include "RegistrationOutput.h"

#include <algorithm>
#include <cstdio>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

using CallHandle = std::unique_ptr<RegisterCall, decltype(CallFunctions::destroy)>;

int32_t REGISTER_CALL printProgressLine(void*, const char* line, int32_t length)
{
    std::printf("progress: %.*s\n", static_cast<int>(length), line);
    // Seen as it happens even when stdout is a pipe or a file.
    std::fflush(stdout);
    return 0;
}

const char* refusal(int32_t setResult)
{
    switch (setResult) {
    case REGISTER_SET_UNKNOWN_OPTION:
        return "does not know the option";
    case REGISTER_SET_BAD_VALUE:
        return "refuses the value";
    case REGISTER_SET_NO_HANDLE:
        return "has no handle";
    default:
        return "refuses it";
    }
}

// Empty when the library took every option; else the usage error.
std::string applyOptions(const CallFunctions& library, RegisterCall* call,
                         const HostOptions& options)
{
    struct Setting {
        const char* name;
        std::string value;
        int32_t result;
    };
    std::vector<Setting> settings;
    if (options.deadlineMs) {
        settings.push_back(
            {"--deadline", std::to_string(*options.deadlineMs),
             library.setNumber(call, REGISTER_OPTION_DEADLINE_MS, *options.deadlineMs)});
    }
    if (options.directory) {
        settings.push_back(
            {"--directory", *options.directory,
             library.setText(call, REGISTER_OPTION_DIRECTORY, options.directory->c_str())});
    }
    if (options.logFile) {
        settings.push_back(
            {"--log-file", *options.logFile,
             library.setText(call, REGISTER_OPTION_LOG_FILE, options.logFile->c_str())});
    }
    if (options.progress) {
        settings.push_back(
            {"--progress", "", library.setProgress(call, printProgressLine, nullptr)});
    }
    for (const Setting& setting : settings) {
        if (setting.result != REGISTER_SET_OK) {
            return std::string(setting.name) + (setting.value.empty() ? "" : " " + setting.value) +
                   ": the library " + refusal(setting.result) + " (" +
                   std::to_string(setting.result) + ")";
        }
    }
    return {};
}

// The whole text, asked for by length first: the handle keeps it, so reading
// it twice does not register twice.
std::string readText(const CallFunctions& library, RegisterCall* call, int32_t info)
{
    const int32_t length = library.getText(call, info, nullptr, 0);
    if (length <= 0 || length == std::numeric_limits<int32_t>::max()) {
        return {};
    }
    std::string text(static_cast<std::size_t>(length) + 1, '\0');
    const int32_t copied = library.getText(call, info, text.data(), length + 1);
    text.resize(static_cast<std::size_t>(std::max(0, std::min(length, copied))));
    return text;
}

void printOutcome(const CallFunctions& library, RegisterCall* call, int32_t code,
                  const HostOptions& options)
{
    const int32_t reason = library.getNumber(call, REGISTER_INFO_REASON);
    std::printf("code: %d (%s)\n", code, library.resultText(code));
    std::printf("reason: %d (%s)\n", reason, library.reasonText(reason));
    const std::string server = readText(library, call, REGISTER_INFO_SERVER);
    if (!server.empty()) {
        std::printf("server: %s\n", server.c_str());
    }
    printResult(readText(library, call, REGISTER_INFO_RESULT));
    if (!options.progress) {
        printLog(readText(library, call, REGISTER_INFO_LOG));
    }
}

} // namespace

int registerThroughCall(const CallFunctions& library, const HostOptions& options)
{
    const CallHandle call(library.create(), library.destroy);
    if (call == nullptr) {
        std::fprintf(stderr, "register-host: DLL_RegisterCallCreate made no handle\n");
        return exitHostFailure;
    }
    if (const std::string refused = applyOptions(library, call.get(), options); !refused.empty()) {
        return usageError(refused);
    }
    std::optional<CancelTimer> canceller;
    if (options.cancelAfterMs) {
        canceller.emplace(std::chrono::milliseconds(*options.cancelAfterMs),
                          [&] { library.cancel(call.get()); });
    }
    const int32_t code = library.run(call.get(), options.text.c_str(), options.setting,
                                     options.flag1, options.flag2, options.flag3);
    // Stopped before the handle is read: only Cancel may come from another
    // thread, and only while the Run lasts.
    canceller.reset();
    printOutcome(library, call.get(), code, options);
    return exitStatusForCode(code);
}
