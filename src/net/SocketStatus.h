#pragma once

#include <cstdint>

// Result of every socket operation: 0 for success, a small negative value for
// a condition the socket layer detects itself, otherwise the platform's
// Windows Sockets error code passed through unchanged. Values outside the
// enumerators are legal and name themselves "ES_UNKNOWN_ERROR".
enum SocketStatus : std::int32_t {
    ES_NO_ERROR = 0,

    ES_UNKNOWN_ERROR = -100,
    ES_INVALID_SOCKET = -101,
    ES_INCOMPLETE_SEND = -102, // reserved; sends report a shortfall as ES_TIMED_OUT
    ES_INCOMPLETE_RECV = -103,
    ES_PARTIAL_SENDTO = -104, // reserved
    ES_TIMED_OUT = -105,
    ES_STREAM_NOT_ALLOWED = -106, // reserved
    ES_DATAGRAM_NOT_ALLOWED = -107,
    ES_SHUTDOWN = -108,
    ES_MESSAGE_TOO_BIG = -109,

    ES_WSAEINTR = 10004,
    ES_WSAEBADF = 10009,
    ES_WSAEACCES = 10013,
    ES_WSAEFAULT = 10014,
    ES_WSAEINVAL = 10022,
    ES_WSAEMFILE = 10024,
    ES_WSAEWOULDBLOCK = 10035,
    ES_WSAEINPROGRESS = 10036,
    ES_WSAEALREADY = 10037,
    ES_WSAENOTSOCK = 10038,
    ES_WSAEDESTADDRREQ = 10039,
    ES_WSAEMSGSIZE = 10040,
    ES_WSAEPROTOTYPE = 10041,
    ES_WSAENOPROTOOPT = 10042,
    ES_WSAEPROTONOSUPPORT = 10043,
    ES_WSAESOCKTNOSUPPORT = 10044,
    ES_WSAEOPNOTSUPP = 10045,
    ES_WSAEPFNOSUPPORT = 10046,
    ES_WSAEAFNOSUPPORT = 10047,
    ES_WSAEADDRINUSE = 10048,
    ES_WSAEADDRNOTAVAIL = 10049,
    ES_WSAENETDOWN = 10050,
    ES_WSAENETUNREACH = 10051,
    ES_WSAENETRESET = 10052,
    ES_WSAECONNABORTED = 10053,
    ES_WSAECONNRESET = 10054,
    ES_WSAENOBUFS = 10055,
    ES_WSAEISCONN = 10056,
    ES_WSAENOTCONN = 10057,
    ES_WSAESHUTDOWN = 10058,
    ES_WSAETOOMANYREFS = 10059,
    ES_WSAETIMEDOUT = 10060,
    ES_WSAECONNREFUSED = 10061,
    ES_WSAELOOP = 10062,
    ES_WSAENAMETOOLONG = 10063,
    ES_WSAEHOSTDOWN = 10064,
    ES_WSAEHOSTUNREACH = 10065,
    ES_WSAENOTEMPTY = 10066,
    ES_WSAEPROCLIM = 10067,
    ES_WSAEUSERS = 10068,
    ES_WSAEDQUOT = 10069,
    ES_WSAESTALE = 10070,
    ES_WSAEREMOTE = 10071,
    ES_WSASYSNOTREADY = 10091,
    ES_WSAVERNOTSUPPORTED = 10092,
    ES_WSANOTINITIALISED = 10093,
    ES_WSAEDISCON = 10101,
};

// The enumerator's own name for a status; "ES_UNKNOWN_ERROR" for any value
// that has none. The text is static: it never fails and never allocates.
const char* statusName(std::int32_t status) noexcept;
