/*
 * register: registers a user of the game with the game maker's online
 * service. One call finds the service's registration servers through a
 * directory server, sends the user's record encrypted under a registration
 * server's public key and returns the service's verdict as a code.
 *
 * The call is synchronous, runs wholly on the caller's thread and keeps no
 * state between calls; several threads may call at once.
 */
#ifndef REGISTER_REGISTER_H
#define REGISTER_REGISTER_H

#include <stdint.h>

#if defined(_WIN32) && !defined(_WIN64)
#define REGISTER_CALL __stdcall
#else
#define REGISTER_CALL
#endif

#if defined(_WIN32) && !defined(REGISTER_BUILDING_LIBRARY)
#define REGISTER_API __declspec(dllimport)
#elif defined(_WIN32)
#define REGISTER_API
#elif defined(__GNUC__)
#define REGISTER_API __attribute__((visibility("default")))
#else
#define REGISTER_API
#endif

/* The functions never throw; C++ callers may rely on it. */
#ifdef __cplusplus
#define REGISTER_NOEXCEPT noexcept
#else
#define REGISTER_NOEXCEPT
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Result codes of DLL_RegisterUser and DLL_RegisterUserEx. */
enum {
    /* The service accepted the registration and returned a result string. */
    REGISTER_RESULT_SUCCESS = 0,
    /* The call failed unexpectedly (out of memory, a server key with a zero
       modulus, a null text pointer). Nothing about the servers is implied. */
    REGISTER_RESULT_INTERNAL_ERROR = 1,
    /* No directory server listed a registration server: all were unreachable
       or malformed, or one reported an error or an empty directory. */
    REGISTER_RESULT_DIRECTORY_FAILED = 2,
    /* Registration servers were found but none accepted the registration:
       all failed, or one reported a server or database error. */
    REGISTER_RESULT_REGISTRATION_FAILED = 4
};

/*
 * Registers one user.
 *   text     zero-terminated user text, sent whole with its terminating zero
 *   setting  only its low 8 bits are sent
 *   flag1..3 each sent as 1 when non-zero, else 0
 *   reserved ignored
 * Returns one of the REGISTER_RESULT_ codes. Never lets an exception or a
 * signal escape into the host. Each network step is bounded by a timeout;
 * host-name lookup of the directory servers is bounded only by the resolver.
 *
 * A registration server's public key is used only when its modulus is a
 * whole number of bytes, from 32 to 2,064 bits (4 to 258 bytes). A server
 * offering any other key is passed over like an unreachable one, except that
 * a zero modulus ends the call with REGISTER_RESULT_INTERNAL_ERROR.
 */
REGISTER_API int32_t REGISTER_CALL DLL_RegisterUser(const char* text, int32_t setting,
                                                    int32_t flag1, int32_t flag2, int32_t flag3,
                                                    int32_t reserved) REGISTER_NOEXCEPT;

/*
 * Runs exactly the registration of DLL_RegisterUser and returns the same
 * code, and also copies out what happened:
 *   resultBuffer  the service's result string (may hold zero bytes); empty
 *                 unless the code is REGISTER_RESULT_SUCCESS
 *   logBuffer     the progress log, one line per step, each ended by '\n'
 * Each buffer may be null with capacity 0. At most capacity - 1 bytes are
 * copied and a zero byte follows them. *resultLength and *logLength, when not
 * null, receive the full lengths, so a host can call again with enough room.
 * Nothing is kept between calls.
 */
REGISTER_API int32_t REGISTER_CALL DLL_RegisterUserEx(const char* text, int32_t setting,
                                                      int32_t flag1, int32_t flag2, int32_t flag3,
                                                      int32_t reserved, char* resultBuffer,
                                                      int32_t resultCapacity, int32_t* resultLength,
                                                      char* logBuffer, int32_t logCapacity,
                                                      int32_t* logLength) REGISTER_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif
