// A registration run in process against given directory servers, without
// the run-time configuration: the library's one entry as the tests and the
// benchmarks drive it.
#pragma once

#include "registration/RegistrationCall.h"

#include <cstdint>

std::int32_t runRegistrationWith(const char* westEndpoint, const char* eastEndpoint,
                                 const RegistrationArguments& arguments,
                                 RegistrationReport* report = nullptr,
                                 const ExchangeTimeouts& timeouts = {});
