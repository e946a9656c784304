#include "registration/ResultTexts.h"

#include <register/register.h>

// Each text is a case of a switch over the header's own enum, with no
// default, so that a code or reason added without a text is a compiler
// warning. Numbers outside the enums never reach the switches: converting
// them to the enum type would not be defined.

const char* resultText(std::int32_t code) noexcept
{
    if (code < REGISTER_RESULT_SUCCESS || code > REGISTER_RESULT_DEADLINE_EXPIRED) {
        return "Unknown result code.";
    }
    switch (static_cast<RegisterResult>(code)) {
    case REGISTER_RESULT_SUCCESS:
        return "The service accepted the registration.";
    case REGISTER_RESULT_INTERNAL_ERROR:
        return "The registration could not be attempted or failed unexpectedly.";
    case REGISTER_RESULT_DIRECTORY_FAILED:
        return "No registration server could be found.";
    case REGISTER_RESULT_REGISTRATION_FAILED:
        return "No registration server accepted the registration.";
    case REGISTER_RESULT_CANCELLED:
        return "The registration was cancelled.";
    case REGISTER_RESULT_DEADLINE_EXPIRED:
        return "The registration did not finish before its deadline.";
    }
    return "Unknown result code.";
}

const char* reasonText(std::int32_t reason) noexcept
{
    if (reason < REGISTER_REASON_NONE || reason > REGISTER_REASON_MISUSE) {
        return "Unknown reason.";
    }
    switch (static_cast<RegisterReason>(reason)) {
    case REGISTER_REASON_NONE:
        return "No failure.";
    case REGISTER_REASON_INVALID_ARGUMENT:
        return "An argument was not valid: the text or the handle is missing.";
    case REGISTER_REASON_CONFIGURATION:
        return "The configuration cannot be used; the log names the file, the line and the fault.";
    case REGISTER_REASON_DIRECTORY_UNREACHABLE:
        return "No directory server could be reached or gave a usable reply.";
    case REGISTER_REASON_DIRECTORY_ERROR:
        return "A directory server reported an error.";
    case REGISTER_REASON_DIRECTORY_EMPTY:
        return "A directory server listed no registration server.";
    case REGISTER_REASON_DBPROXY_UNREACHABLE:
        return "No registration server could be reached or gave a usable reply.";
    case REGISTER_REASON_DBPROXY_ERROR:
        return "A registration server reported an error.";
    case REGISTER_REASON_DATABASE_ERROR:
        return "The service's database refused the registration.";
    case REGISTER_REASON_TEXT_TOO_LONG:
        return "The text is too long for the registration server's key.";
    case REGISTER_REASON_INTERNAL:
        return "The library failed unexpectedly (out of memory, an unusable server key, or a "
               "failed system random generator).";
    case REGISTER_REASON_CANCELLED:
        return "The host cancelled the registration.";
    case REGISTER_REASON_DEADLINE_EXPIRED:
        return "The deadline passed before the service gave a verdict.";
    case REGISTER_REASON_MISUSE:
        return "A Run was started on a handle that was already running.";
    }
    return "Unknown reason.";
}
