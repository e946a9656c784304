/*
 * register: registers a user of the game with the game maker's online
 * service. One call finds the service's registration servers through a
 * directory server, sends the user's record encrypted under a registration
 * server's public key and returns the service's verdict as a code.
 *
 * Every call is synchronous, runs wholly on the caller's thread and keeps no
 * state between calls; several threads may call at once. The user's text is
 * sent byte for byte as given, in no particular character encoding.
 *
 * Two interfaces:
 *   DLL_RegisterUser, DLL_RegisterUserEx  one call, the original codes only.
 *   DLL_RegisterCall...                   a call handle: options by number,
 *                                         cancel, deadline, progress, and the
 *                                         reason for a failure.
 *
 * Run-time configuration, read afresh by every call of every function:
 *   register.ini beside the library file (found through the path the
 *   library was loaded from, made absolute when it was loaded, so a later
 *   change of the working folder does not change it), or the file named by
 *   the environment variable REGISTER_CONFIG instead; REGISTER_DIRECTORY and
 *   REGISTER_LOG_FILE win over the file. Lines "key = value"; keys in any
 *   case; '#' or ';' starts a comment line; an optional [register] section
 *   header (keys in other sections are ignored); UTF-8 with or without a
 *   byte-order mark, or UTF-16LE with one; at most 64 KiB:
 *     directory           host:port, repeatable or comma-separated
 *     connect_timeout_ms  send_timeout_ms  receive_timeout_ms
 *     deadline_ms         the whole call; 0 means none
 *     log_file            each call appends one whole record
 *   An unknown key is a warning line in the log ("Configuration warning:"),
 *   so a file written for a later version still works. A configuration that
 *   cannot be used (a known key with a bad value, a file that is not a
 *   regular file or is too large) fails the call with
 *   REGISTER_RESULT_INTERNAL_ERROR (reason REGISTER_REASON_CONFIGURATION)
 *   before any network step, and the log names the file, the line and the
 *   fault. Without a file and the variables, nothing differs from the
 *   built-in behaviour. A handle can ignore all of it:
 *   REGISTER_OPTION_CONFIGURATION.
 *
 * Texts are bytes, passed on as given. Paths (the log file) are UTF-8 on
 * every platform, Windows included.
 *
 * Versions. Each function and constant below says the version that added
 * it. Within major version 1 a version only adds: a host built against the
 * header of 1.a runs unchanged on any library 1.b with b >= a. A host that
 * uses something added after 1.0 checks at start-up that
 * DLL_RegisterVersionNumber() (or, before 1.2, DLL_RegisterVersion()) is at
 * least the version that added it, or looks the function up by name.
 */
#ifndef REGISTER_REGISTER_H
#define REGISTER_REGISTER_H

#include <stdint.h>

#define REGISTER_VERSION_MAJOR 1
#define REGISTER_VERSION_MINOR 2
#define REGISTER_VERSION_PATCH 0
/* MAJOR << 16 | MINOR << 8 | PATCH: 0x010200 for 1.2.0. Since 1.2.0. */
#define REGISTER_VERSION_NUMBER                                                                    \
    ((REGISTER_VERSION_MAJOR << 16) | (REGISTER_VERSION_MINOR << 8) | REGISTER_VERSION_PATCH)

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
#if defined(__cplusplus) && (__cplusplus >= 201103L || (defined(_MSC_VER) && _MSC_VER >= 1900))
#define REGISTER_NOEXCEPT noexcept
#elif defined(__cplusplus)
#define REGISTER_NOEXCEPT throw()
#else
#define REGISTER_NOEXCEPT
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Result codes. DLL_RegisterUser and DLL_RegisterUserEx return only 0 to 4
   (since 1.0.0); 5 and 6 since 1.1.0. The enum's name since 1.2.0; functions
   take and return int32_t. */
enum RegisterResult {
    /* The service accepted the registration and returned a result string. */
    REGISTER_RESULT_SUCCESS = 0,
    /* The call failed before or outside the servers: a null text, a
       configuration that cannot be used, out of memory, a server key with a
       zero modulus, a system random generator that failed (nothing is sent
       then). The reason tells which. */
    REGISTER_RESULT_INTERNAL_ERROR = 1,
    /* No directory server listed a registration server: all were unreachable
       or malformed, or one reported an error or an empty directory. A
       configured deadline that expires during the lookup also gives this
       code from DLL_RegisterUser and DLL_RegisterUserEx. */
    REGISTER_RESULT_DIRECTORY_FAILED = 2,
    /* Registration servers were found but none accepted the registration:
       all failed, or one reported a server or database error. A configured
       deadline that expires during the exchange also gives this code from
       DLL_RegisterUser and DLL_RegisterUserEx. */
    REGISTER_RESULT_REGISTRATION_FAILED = 4,
    /* DLL_RegisterCallRun only: the host cancelled the call. */
    REGISTER_RESULT_CANCELLED = 5,
    /* DLL_RegisterCallRun only: the deadline passed before a verdict. */
    REGISTER_RESULT_DEADLINE_EXPIRED = 6
};

/* Why a call failed, read with REGISTER_INFO_REASON. Since 1.1.0 but where
   said; the enum's name since 1.2.0. */
enum RegisterReason {
    REGISTER_REASON_NONE = 0,                  /* success, or no call yet */
    REGISTER_REASON_INVALID_ARGUMENT = 1,      /* a null text or handle */
    REGISTER_REASON_CONFIGURATION = 2,         /* a configuration that cannot be used */
    REGISTER_REASON_DIRECTORY_UNREACHABLE = 3, /* no directory server gave a usable reply */
    REGISTER_REASON_DIRECTORY_ERROR = 4,       /* a directory server reported an error */
    REGISTER_REASON_DIRECTORY_EMPTY = 5,       /* a directory server listed no server */
    REGISTER_REASON_DBPROXY_UNREACHABLE = 6,   /* no registration server gave a verdict */
    REGISTER_REASON_DBPROXY_ERROR = 7,         /* a registration server reported an error */
    REGISTER_REASON_DATABASE_ERROR = 8,        /* the service's database refused */
    REGISTER_REASON_TEXT_TOO_LONG = 9,         /* the text did not fit a server's key */
    REGISTER_REASON_INTERNAL = 10,             /* out of memory, a zero-modulus key, a
                                                  failed system random generator */
    REGISTER_REASON_CANCELLED = 11,            /* DLL_RegisterCallCancel or the progress callback */
    REGISTER_REASON_DEADLINE_EXPIRED = 12,     /* the deadline passed */
    REGISTER_REASON_MISUSE = 13                /* a Run on a handle already running;
                                                  since 1.2.0 */
};

/* Options of a call handle. Since 1.1.0 but where said. */
enum {
    /* Numbers (DLL_RegisterCallSetNumber), in milliseconds. Timeouts take 1
       to 2147483647, the deadline 0 (none) to 2147483647; -1 returns to the
       run-time configuration or the built-in value. */
    REGISTER_OPTION_CONNECT_TIMEOUT_MS = 1, /* each connect; built in 20000 */
    REGISTER_OPTION_SEND_TIMEOUT_MS = 2,    /* each request sent; built in 5000 */
    REGISTER_OPTION_RECEIVE_TIMEOUT_MS = 3, /* each reply received; built in 20000 */
    REGISTER_OPTION_DEADLINE_MS = 4,        /* the whole Run; built in 0, none */
    /* A REGISTER_CONFIGURATION_ value: whether the handle's Runs read the
       run-time configuration (register.ini, REGISTER_CONFIG and every
       REGISTER_ variable). -1 returns to the default, READ. Since 1.2.0. */
    REGISTER_OPTION_CONFIGURATION = 5,
    /* Texts (DLL_RegisterCallSetText); a null value returns to the run-time
       configuration or the built-in value. */
    /* "host:port[,host:port...]". The servers are a set, tried in address
       order whatever order they are given in, as the built-in servers are:
       by port first, then by IPv4 address; a host name that does not resolve
       counts as 0.0.0.0 and is tried first. To prefer a server, give it the
       lower port. */
    REGISTER_OPTION_DIRECTORY = 101,
    REGISTER_OPTION_LOG_FILE = 102 /* a file each Run appends one record to;
                                      UTF-8 on every platform */
};

/* Values of REGISTER_OPTION_CONFIGURATION. Since 1.2.0. */
enum {
    REGISTER_CONFIGURATION_READ = 0,  /* the default */
    REGISTER_CONFIGURATION_IGNORE = 1 /* only the handle's options and the
                                         built-in values count, so a broken or
                                         stale configuration cannot break the
                                         host */
};

/* What a setter returns (and DLL_RegisterCallGetInfo, since 1.2.0). Since
   1.1.0. */
enum {
    REGISTER_SET_OK = 0,
    REGISTER_SET_UNKNOWN_OPTION = 1,
    REGISTER_SET_BAD_VALUE = 2,
    REGISTER_SET_NO_HANDLE = 3
};

/* What a handle tells about its last Run. Since 1.1.0 but where said. */
enum {
    /* Numbers (DLL_RegisterCallGetNumber). */
    REGISTER_INFO_CODE = 1,   /* the code the last Run returned; -1 before any */
    REGISTER_INFO_REASON = 2, /* a REGISTER_REASON_ value */
    /* The directory, DBProxy or database status as a signed 16-bit value when
       the reason is DIRECTORY_ERROR, DBPROXY_ERROR or DATABASE_ERROR; else 0. */
    REGISTER_INFO_SERVER_STATUS = 3,
    /* The last failing socket status: 10061 for a refused connect, -105 for
       a timeout; 0 when no socket step failed. */
    REGISTER_INFO_SOCKET_STATUS = 4,
    REGISTER_INFO_ELAPSED_MS = 5, /* how long the last Run took */
    /* Texts (DLL_RegisterCallGetText). */
    REGISTER_INFO_RESULT = 101, /* the result string; may hold zero bytes */
    REGISTER_INFO_LOG = 102,    /* the progress log, each line ended by '\n' */
    REGISTER_INFO_SERVER = 103, /* "a.b.c.d:port" of the server that gave the
                                   verdict or failed last; empty if none */
    /* The directory servers the next Run would use, as given:
       "host:port,host:port" (a Run tries them in address order, see
       REGISTER_OPTION_DIRECTORY). Read afresh from the handle and the run-time
       configuration at each ask, so also before any Run; not a record of the
       last Run. */
    REGISTER_INFO_DIRECTORY = 104,
    /* The absolute path of the configuration file the last Run read; empty
       when it read none. Since 1.2.0. */
    REGISTER_INFO_CONFIGURATION = 105
};

/*
 * Registers one user.
 *   text     zero-terminated user text, sent whole with its terminating zero
 *   setting  only its low 8 bits are sent
 *   flag1..3 each sent as 1 when non-zero, else 0
 *   reserved ignored
 * Returns REGISTER_RESULT_SUCCESS, _INTERNAL_ERROR, _DIRECTORY_FAILED or
 * _REGISTRATION_FAILED. Never lets an exception or a signal escape into the
 * host, and a POSIX thread cancelled inside it is cancelled only once it has
 * returned. Each network step is bounded by a timeout; host-name lookup of
 * the directory servers is bounded only by the resolver.
 *
 * A registration server's public key is used only when its modulus is a
 * whole number of bytes, from 32 to 2,064 bits (4 to 258 bytes). A server
 * offering any other key is passed over like an unreachable one, except that
 * a zero modulus ends the call with REGISTER_RESULT_INTERNAL_ERROR.
 * Since 1.0.0.
 */
REGISTER_API int32_t REGISTER_CALL DLL_RegisterUser(const char* text, int32_t setting,
                                                    int32_t flag1, int32_t flag2, int32_t flag3,
                                                    int32_t reserved) REGISTER_NOEXCEPT;

/*
 * Runs exactly the registration of DLL_RegisterUser and returns the same
 * code, and also copies out what happened:
 *   resultBuffer  the service's result string (may hold zero bytes); empty
 *                 unless the code is REGISTER_RESULT_SUCCESS. A result string
 *                 is at most 65,535 bytes, so 65,536 bytes always suffice.
 *   logBuffer     the progress log, one line per step, each ended by '\n'
 * Each buffer may be null with capacity 0. At most capacity - 1 bytes are
 * copied and a zero byte follows them. *resultLength and *logLength, when not
 * null, receive the full lengths. Calling again registers again: give the
 * result buffer its 65,536 bytes the first time. Since 1.0.0.
 */
REGISTER_API int32_t REGISTER_CALL DLL_RegisterUserEx(const char* text, int32_t setting,
                                                      int32_t flag1, int32_t flag2, int32_t flag3,
                                                      int32_t reserved, char* resultBuffer,
                                                      int32_t resultCapacity, int32_t* resultLength,
                                                      char* logBuffer, int32_t logCapacity,
                                                      int32_t* logLength) REGISTER_NOEXCEPT;

/*
 * The call handle. Create one, set options, Run (blocking), read the results,
 * Destroy. A handle belongs to one thread at a time; only
 * DLL_RegisterCallCancel and DLL_RegisterCallDestroy may be called from
 * another thread while Run is in progress. Separate handles run at once. A
 * handle may Run again; each Run starts from empty results. A null handle,
 * or one already destroyed, is refused by every function (as far as the
 * handle's memory can still tell: using a handle after DLL_RegisterCallDestroy
 * has returned is the caller's fault). Since 1.1.0, as are the functions
 * below but where said.
 */
typedef struct RegisterCall RegisterCall;

/*
 * Called on the running thread with each progress-log line as it is written,
 * without its line feed (line is not zero-terminated; length bytes; valid
 * only during the call). A non-zero return cancels the Run; lines may still
 * come after it, the last one saying why the Run stopped.
 *
 * Inside the callback a host may call, on the same handle:
 * DLL_RegisterCallCancel; DLL_RegisterCallSetProgress and the setters (they
 * take effect from the next Run: a Run keeps the options and the callback it
 * started with); the getters; and DLL_RegisterCallDestroy, which cancels the
 * Run and frees the handle when the Run returns (the caller of Run must not
 * touch the handle afterwards). A DLL_RegisterCallRun on the same handle is
 * refused (REGISTER_REASON_MISUSE). The callback must not let an exception
 * or a longjmp out into the library.
 */
typedef int32_t(REGISTER_CALL* RegisterProgressCallback)(void* context, const char* line,
                                                         int32_t length);

/* A new handle with no options set, or null when out of memory. */
REGISTER_API RegisterCall* REGISTER_CALL DLL_RegisterCallCreate(void) REGISTER_NOEXCEPT;
/* Frees the handle at once, or, while a Run is in progress (from its callback
   or another thread), cancels that Run and frees the handle when it returns.
   A null handle is ignored. */
REGISTER_API void REGISTER_CALL DLL_RegisterCallDestroy(RegisterCall* call) REGISTER_NOEXCEPT;

/* Check the value at once: REGISTER_SET_OK, or an error and nothing changed. */
REGISTER_API int32_t REGISTER_CALL DLL_RegisterCallSetNumber(RegisterCall* call, int32_t option,
                                                             int32_t value) REGISTER_NOEXCEPT;
REGISTER_API int32_t REGISTER_CALL DLL_RegisterCallSetText(RegisterCall* call, int32_t option,
                                                           const char* value) REGISTER_NOEXCEPT;
/* A null callback removes it. A Run in progress keeps the callback it
   started with. */
REGISTER_API int32_t REGISTER_CALL DLL_RegisterCallSetProgress(RegisterCall* call,
                                                               RegisterProgressCallback callback,
                                                               void* context) REGISTER_NOEXCEPT;

/*
 * The whole registration of DLL_RegisterUser, blocking, with the handle's
 * options over the run-time configuration over the built-in values. Returns
 * a REGISTER_RESULT_ code, REGISTER_RESULT_CANCELLED and
 * REGISTER_RESULT_DEADLINE_EXPIRED included. On a handle that is already
 * running (from its callback or another thread) it returns
 * REGISTER_RESULT_INTERNAL_ERROR at once with REGISTER_REASON_MISUSE, sends
 * nothing, and leaves the running Run as it was.
 */
REGISTER_API int32_t REGISTER_CALL DLL_RegisterCallRun(RegisterCall* call, const char* text,
                                                       int32_t setting, int32_t flag1,
                                                       int32_t flag2,
                                                       int32_t flag3) REGISTER_NOEXCEPT;

/*
 * Safe from any thread. A Run in progress returns REGISTER_RESULT_CANCELLED
 * within 100 ms, its socket closed and nothing more sent; only a host-name
 * lookup of a directory server cannot be interrupted, and the Run returns
 * once it ends. A cancel while no Run is in progress cancels the next Run.
 */
REGISTER_API void REGISTER_CALL DLL_RegisterCallCancel(RegisterCall* call) REGISTER_NOEXCEPT;

/* A REGISTER_INFO_ number; INT32_MIN (never a value of an info) for an
   unknown info or a null or destroyed handle. */
REGISTER_API int32_t REGISTER_CALL DLL_RegisterCallGetNumber(RegisterCall* call,
                                                             int32_t info) REGISTER_NOEXCEPT;
/* The same number written to *value, with a status that cannot be mistaken
   for one: REGISTER_SET_OK; REGISTER_SET_UNKNOWN_OPTION for an info this
   library does not know as a number (so a host can probe for newer infos);
   REGISTER_SET_NO_HANDLE for a null or destroyed handle;
   REGISTER_SET_BAD_VALUE for a null value. *value is written only on OK.
   Since 1.2.0. */
REGISTER_API int32_t REGISTER_CALL DLL_RegisterCallGetInfo(RegisterCall* call, int32_t info,
                                                           int32_t* value) REGISTER_NOEXCEPT;
/* Copies at most capacity - 1 bytes and a zero byte (buffer may be null with
   capacity 0) and returns the full length, so a host can ask for the length
   first; -1 for an unknown info or a null handle. */
REGISTER_API int32_t REGISTER_CALL DLL_RegisterCallGetText(RegisterCall* call, int32_t info,
                                                           char* buffer,
                                                           int32_t capacity) REGISTER_NOEXCEPT;

/* Fixed English sentences for a code and a reason; never null. */
REGISTER_API const char* REGISTER_CALL DLL_RegisterResultText(int32_t code) REGISTER_NOEXCEPT;
REGISTER_API const char* REGISTER_CALL DLL_RegisterReasonText(int32_t reason) REGISTER_NOEXCEPT;
/* "1.2.0": the library's version, which may be newer than this header's. */
REGISTER_API const char* REGISTER_CALL DLL_RegisterVersion(void) REGISTER_NOEXCEPT;
/* The same as a number to compare with REGISTER_VERSION_NUMBER: a host that
   needs 1.2 checks DLL_RegisterVersionNumber() >= 0x010200. Since 1.2.0. */
REGISTER_API int32_t REGISTER_CALL DLL_RegisterVersionNumber(void) REGISTER_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif
