#pragma once

#include "common/ByteString.h"
#include "registration/CallFailure.h"
#include "registration/CallSettings.h"
#include "registration/ProgressLog.h"
#include "registration/RegistrationClient.h"

#include <cstdint>
#include <register/register.h>
#include <string>
#include <string_view>

class CallControl;

// The directory asked for the DBProxy servers.
inline constexpr std::u16string_view registrationDirectoryPath = u"/Emberfall/Register";

struct RegistrationArguments {
    const char* text = nullptr;
    std::int32_t setting = 0;
    std::int32_t flag1 = 0;
    std::int32_t flag2 = 0;
    std::int32_t flag3 = 0;
    std::int32_t reserved = 0;
};

// What a caller may learn besides the code: the result string (empty unless
// the call succeeded), the progress log, also when an exception ended the
// call part way, and why it failed.
struct RegistrationReport {
    ByteString resultString;
    std::string progressLog;
    CallFailure failure;
    // Whether the lookup had succeeded, so that the exchange was under way.
    bool reachedExchange = false;
};

// One call of a registering export, as every export makes it.
struct CallRequest {
    // Named in the log file's record.
    std::string_view exportName;
    RegistrationArguments arguments;
    // A handle's own settings, over the run-time configuration; may be null.
    const CallSettings* handleSettings = nullptr;
    // False when the handle asked to ignore the run-time configuration.
    bool readConfiguration = true;
    // A handle's cancel flag and deadline clock. Without one, a call makes
    // its own when a deadline is configured.
    CallControl* control = nullptr;
    ProgressLog::Listener listener;
    // The exports that know only the codes 0 to 4 report a passed deadline
    // as the failure of the phase it ended.
    bool originalCodes = false;
};

struct CallResult {
    std::int32_t code = REGISTER_RESULT_INTERNAL_ERROR;
    RegistrationReport report;
    // The directory servers in effect, as written in a directory list.
    std::string directory;
    std::uint32_t elapsedMs = 0;
    // The absolute path of the configuration file read; empty when none.
    std::string configurationFile;
};

// The one way into a registration, for every export and the call handle.
// Reads the run-time configuration, runs the registration under the settings
// in effect (built-in values under the run-time configuration under the
// handle's) and appends the call's record to the log file when one is set.
// A configuration that cannot be used fails the call before any network step.
// The codes are the public header's REGISTER_RESULT_ values; cancelled and
// deadline expired come only from a control or a configured deadline.
// Never throws: an exception from the registration is an internal error.
CallResult runCall(const CallRequest& request) noexcept;

// The directory servers a call would use now.
std::string directoryInEffect(const CallSettings* handleSettings, bool readConfiguration);
