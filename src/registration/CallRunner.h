#pragma once

#include "registration/CallSettings.h"
#include "registration/ProgressLog.h"
#include "registration/RunRegistration.h"

#include <cstdint>
#include <string>
#include <string_view>

class CallControl;

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
    std::int32_t code = registrationInternalError;
    RegistrationReport report;
    // The directory servers in effect, as written in a directory list.
    std::string directory;
    std::uint32_t elapsedMs = 0;
    // The absolute path of the configuration file read; empty when none.
    std::string configurationFile;
};

// Reads the run-time configuration, runs the registration under the settings
// in effect (built-in values under the run-time configuration under the
// handle's) and appends the call's record to the log file when one is set.
// A configuration that cannot be used fails the call before any network step.
// Never throws: an exception from the registration is an internal error.
CallResult runCall(const CallRequest& request) noexcept;

// The directory servers a call would use now.
std::string directoryInEffect(const CallSettings* handleSettings, bool readConfiguration);
