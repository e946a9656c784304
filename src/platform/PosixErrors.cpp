#include "platform/PosixErrors.h"

#include "platform/Platform.h"

#include <cerrno>

namespace Platform {

namespace {

// Windows Sockets error codes, named as in winsock2.h; WSAEWOULDBLOCK is in
// Platform.h.
constexpr std::int32_t wsaEIntr = 10004;
constexpr std::int32_t wsaEAcces = 10013;
constexpr std::int32_t wsaEFault = 10014;
constexpr std::int32_t wsaEInval = 10022;
constexpr std::int32_t wsaEMFile = 10024;
constexpr std::int32_t wsaEAlready = 10037;
constexpr std::int32_t wsaENotSock = 10038;
constexpr std::int32_t wsaEDestAddrReq = 10039;
constexpr std::int32_t wsaEMsgSize = 10040;
constexpr std::int32_t wsaEPrototype = 10041;
constexpr std::int32_t wsaENoProtoOpt = 10042;
constexpr std::int32_t wsaEProtoNoSupport = 10043;
constexpr std::int32_t wsaESocktNoSupport = 10044;
constexpr std::int32_t wsaEOpNotSupp = 10045;
constexpr std::int32_t wsaEPfNoSupport = 10046;
constexpr std::int32_t wsaEAfNoSupport = 10047;
constexpr std::int32_t wsaEAddrInUse = 10048;
constexpr std::int32_t wsaEAddrNotAvail = 10049;
constexpr std::int32_t wsaENetDown = 10050;
constexpr std::int32_t wsaENetUnreach = 10051;
constexpr std::int32_t wsaENetReset = 10052;
constexpr std::int32_t wsaEConnAborted = 10053;
constexpr std::int32_t wsaEConnReset = 10054;
constexpr std::int32_t wsaENoBufs = 10055;
constexpr std::int32_t wsaEIsConn = 10056;
constexpr std::int32_t wsaENotConn = 10057;
constexpr std::int32_t wsaEShutdown = 10058;
constexpr std::int32_t wsaETooManyRefs = 10059;
constexpr std::int32_t wsaETimedOut = 10060;
constexpr std::int32_t wsaEConnRefused = 10061;
constexpr std::int32_t wsaELoop = 10062;
constexpr std::int32_t wsaENameTooLong = 10063;
constexpr std::int32_t wsaEHostDown = 10064;
constexpr std::int32_t wsaEHostUnreach = 10065;
constexpr std::int32_t wsaENotEmpty = 10066;
[[maybe_unused]] constexpr std::int32_t wsaEProcLim = 10067;
[[maybe_unused]] constexpr std::int32_t wsaEUsers = 10068;
[[maybe_unused]] constexpr std::int32_t wsaEDQuot = 10069;
[[maybe_unused]] constexpr std::int32_t wsaEStale = 10070;
[[maybe_unused]] constexpr std::int32_t wsaERemote = 10071;

struct Twin {
    int error;
    std::int32_t code;
};

// Where two errno names share a value (EAGAIN and EWOULDBLOCK on Linux) the
// first row answers for both. EBADF is WSAENOTSOCK because a closed or
// foreign handle is what Winsock reports that way; EINPROGRESS is the
// would-block of a non-blocking connect; EPIPE is the reset that Winsock
// reports for a send on a broken connection.
constexpr Twin twins[] = {
    {EINTR, wsaEIntr},
    {EBADF, wsaENotSock},
    {ENOTSOCK, wsaENotSock},
    {EPERM, wsaEAcces},
    {EACCES, wsaEAcces},
    {EFAULT, wsaEFault},
    {EINVAL, wsaEInval},
    {EMFILE, wsaEMFile},
    {EINPROGRESS, wsaEWouldBlock},
    {EWOULDBLOCK, wsaEWouldBlock},
    {EAGAIN, wsaEWouldBlock},
    {EALREADY, wsaEAlready},
    {EDESTADDRREQ, wsaEDestAddrReq},
    {EMSGSIZE, wsaEMsgSize},
    {EPROTOTYPE, wsaEPrototype},
    {ENOPROTOOPT, wsaENoProtoOpt},
    {EPROTONOSUPPORT, wsaEProtoNoSupport},
    {ESOCKTNOSUPPORT, wsaESocktNoSupport},
    {EOPNOTSUPP, wsaEOpNotSupp},
    {ENOTSUP, wsaEOpNotSupp},
    {EPFNOSUPPORT, wsaEPfNoSupport},
    {EAFNOSUPPORT, wsaEAfNoSupport},
    {EADDRINUSE, wsaEAddrInUse},
    {EADDRNOTAVAIL, wsaEAddrNotAvail},
    {ENETDOWN, wsaENetDown},
    {ENETUNREACH, wsaENetUnreach},
    {ENETRESET, wsaENetReset},
    {ECONNABORTED, wsaEConnAborted},
    {ECONNRESET, wsaEConnReset},
    {EPIPE, wsaEConnReset},
    {ENOBUFS, wsaENoBufs},
    {EISCONN, wsaEIsConn},
    {ENOTCONN, wsaENotConn},
    {ESHUTDOWN, wsaEShutdown},
    {ETOOMANYREFS, wsaETooManyRefs},
    {ETIMEDOUT, wsaETimedOut},
    {ECONNREFUSED, wsaEConnRefused},
    {ELOOP, wsaELoop},
    {ENAMETOOLONG, wsaENameTooLong},
    {EHOSTDOWN, wsaEHostDown},
    {EHOSTUNREACH, wsaEHostUnreach},
    {ENOTEMPTY, wsaENotEmpty},
#ifdef EPROCLIM
    {EPROCLIM, wsaEProcLim},
#endif
#ifdef EUSERS
    {EUSERS, wsaEUsers},
#endif
#ifdef EDQUOT
    {EDQUOT, wsaEDQuot},
#endif
#ifdef ESTALE
    {ESTALE, wsaEStale},
#endif
#ifdef EREMOTE
    {EREMOTE, wsaERemote},
#endif
};

} // namespace

std::int32_t winsockErrorFromErrno(int error)
{
    for (const Twin& twin : twins) {
        if (twin.error == error) {
            return twin.code;
        }
    }
    return error;
}

} // namespace Platform
