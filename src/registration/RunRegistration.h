#pragma once

#include "common/ByteString.h"
#include "registration/CallFailure.h"
#include "registration/ProgressLog.h"
#include "registration/RegistrationClient.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The directory asked for the DBProxy servers.
inline constexpr std::u16string_view registrationDirectoryPath = u"/Emberfall/Register";

// Codes of one registration call; the public header repeats them. The last
// two come only from calls that can be cancelled or given a deadline.
inline constexpr std::int32_t registrationSucceeded = 0;
inline constexpr std::int32_t registrationInternalError = 1;
inline constexpr std::int32_t directoryLookupFailed = 2;
inline constexpr std::int32_t registrationExchangeFailed = 4;
inline constexpr std::int32_t registrationCancelled = 5;
inline constexpr std::int32_t registrationDeadlineExpired = 6;

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

// Everything a call runs with besides the user's arguments.
struct CallPlan {
    // "host:port" each; an unresolved host is still tried, and fails.
    std::vector<std::string> directoryEndpoints;
    ExchangeTimeouts timeouts;
    // Cancel and deadline; without one the call runs to its own end.
    const CallControl* control = nullptr;
    // Hears each progress line as it is written.
    ProgressLog::Listener listener;
};

// One whole registration against the directory servers fixed at build time.
// Exceptions other than the ones the server loops handle leave it, after the
// client is destroyed and the socket library stopped. A null text gives
// registrationInternalError before any socket is touched.
std::int32_t runRegistration(const RegistrationArguments& arguments,
                             RegistrationReport* report = nullptr);

// The same under a plan: registrationCancelled and
// registrationDeadlineExpired come from its control.
std::int32_t runRegistrationWith(const CallPlan& plan, const RegistrationArguments& arguments,
                                 RegistrationReport* report = nullptr);

// The same against the given directory endpoints ("host:port" each).
std::int32_t runRegistrationWith(const char* westEndpoint, const char* eastEndpoint,
                                 const RegistrationArguments& arguments,
                                 RegistrationReport* report = nullptr,
                                 const ExchangeTimeouts& timeouts = {});
