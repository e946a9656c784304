// Stands in for a library of version 1.0, which has no call handle: a host
// must still register through DLL_RegisterUserEx and pass its arguments on.
#include <cstdio>
#include <register/register.h>

int32_t REGISTER_CALL DLL_RegisterUserEx(const char* text, int32_t setting, int32_t, int32_t,
                                         int32_t, int32_t, char* resultBuffer,
                                         int32_t resultCapacity, int32_t* resultLength,
                                         char* logBuffer, int32_t logCapacity,
                                         int32_t* logLength) noexcept
{
    const int written = std::snprintf(logBuffer, static_cast<std::size_t>(logCapacity),
                                      "received \"%s\" setting %d\n", text, setting);
    if (resultCapacity > 0) {
        resultBuffer[0] = '\0';
    }
    *resultLength = 0;
    *logLength = written;
    return REGISTER_RESULT_DIRECTORY_FAILED;
}
