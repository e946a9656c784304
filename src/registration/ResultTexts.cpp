#include "registration/ResultTexts.h"

#include <register/register.h>
#include <span>

namespace {

struct NumberText {
    std::int32_t number;
    const char* text;
};

constexpr NumberText resultTexts[] = {
    {REGISTER_RESULT_SUCCESS, "The service accepted the registration."},
    {REGISTER_RESULT_INTERNAL_ERROR,
     "The registration could not be attempted or failed unexpectedly."},
    {REGISTER_RESULT_DIRECTORY_FAILED, "No registration server could be found."},
    {REGISTER_RESULT_REGISTRATION_FAILED, "No registration server accepted the registration."},
    {REGISTER_RESULT_CANCELLED, "The registration was cancelled."},
    {REGISTER_RESULT_DEADLINE_EXPIRED, "The registration did not finish before its deadline."},
};

constexpr NumberText reasonTexts[] = {
    {REGISTER_REASON_NONE, "No failure."},
    {REGISTER_REASON_INVALID_ARGUMENT,
     "An argument was not valid: the text or the handle is missing."},
    {REGISTER_REASON_CONFIGURATION,
     "The configuration cannot be used; the log names the file, the line and the fault."},
    {REGISTER_REASON_DIRECTORY_UNREACHABLE,
     "No directory server could be reached or gave a usable reply."},
    {REGISTER_REASON_DIRECTORY_ERROR, "A directory server reported an error."},
    {REGISTER_REASON_DIRECTORY_EMPTY, "A directory server listed no registration server."},
    {REGISTER_REASON_DBPROXY_UNREACHABLE,
     "No registration server could be reached or gave a usable reply."},
    {REGISTER_REASON_DBPROXY_ERROR, "A registration server reported an error."},
    {REGISTER_REASON_DATABASE_ERROR, "The service's database refused the registration."},
    {REGISTER_REASON_TEXT_TOO_LONG, "The text is too long for the registration server's key."},
    {REGISTER_REASON_INTERNAL, "The library failed unexpectedly (out of memory, an unusable "
                               "server key, or a failed system random generator)."},
    {REGISTER_REASON_CANCELLED, "The host cancelled the registration."},
    {REGISTER_REASON_DEADLINE_EXPIRED, "The deadline passed before the service gave a verdict."},
    {REGISTER_REASON_MISUSE, "A Run was started on a handle that was already running."},
};

const char* textOf(std::span<const NumberText> table, std::int32_t number, const char* unknown)
{
    for (const NumberText& entry : table) {
        if (entry.number == number) {
            return entry.text;
        }
    }
    return unknown;
}

} // namespace

const char* resultText(std::int32_t code) noexcept
{
    return textOf(resultTexts, code, "Unknown result code.");
}

const char* reasonText(std::int32_t reason) noexcept
{
    return textOf(reasonTexts, reason, "Unknown reason.");
}
