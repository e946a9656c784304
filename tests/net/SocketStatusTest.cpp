#include "net/SocketStatus.h"

#include <gtest/gtest.h>
#include <map>
#include <set>
#include <sstream>
#include <string>

namespace {

// The Windows Sockets error constants as Winsock's own header lists them,
// and the socket layer's own conditions.
const char* const knownStatuses = R"(
    0 ES_NO_ERROR       -101 ES_INVALID_SOCKET     -102 ES_INCOMPLETE_SEND
    -103 ES_INCOMPLETE_RECV   -104 ES_PARTIAL_SENDTO     -105 ES_TIMED_OUT
    -106 ES_STREAM_NOT_ALLOWED   -107 ES_DATAGRAM_NOT_ALLOWED   -108 ES_SHUTDOWN
    -109 ES_MESSAGE_TOO_BIG
    10004 ES_WSAEINTR  10009 ES_WSAEBADF  10013 ES_WSAEACCES  10014 ES_WSAEFAULT
    10022 ES_WSAEINVAL  10024 ES_WSAEMFILE  10035 ES_WSAEWOULDBLOCK  10036 ES_WSAEINPROGRESS
    10037 ES_WSAEALREADY  10038 ES_WSAENOTSOCK  10039 ES_WSAEDESTADDRREQ  10040 ES_WSAEMSGSIZE
    10041 ES_WSAEPROTOTYPE  10042 ES_WSAENOPROTOOPT  10043 ES_WSAEPROTONOSUPPORT
    10044 ES_WSAESOCKTNOSUPPORT  10045 ES_WSAEOPNOTSUPP  10046 ES_WSAEPFNOSUPPORT
    10047 ES_WSAEAFNOSUPPORT  10048 ES_WSAEADDRINUSE  10049 ES_WSAEADDRNOTAVAIL
    10050 ES_WSAENETDOWN  10051 ES_WSAENETUNREACH  10052 ES_WSAENETRESET
    10053 ES_WSAECONNABORTED  10054 ES_WSAECONNRESET  10055 ES_WSAENOBUFS  10056 ES_WSAEISCONN
    10057 ES_WSAENOTCONN  10058 ES_WSAESHUTDOWN  10059 ES_WSAETOOMANYREFS  10060 ES_WSAETIMEDOUT
    10061 ES_WSAECONNREFUSED  10062 ES_WSAELOOP  10063 ES_WSAENAMETOOLONG  10064 ES_WSAEHOSTDOWN
    10065 ES_WSAEHOSTUNREACH  10066 ES_WSAENOTEMPTY  10067 ES_WSAEPROCLIM  10068 ES_WSAEUSERS
    10069 ES_WSAEDQUOT  10070 ES_WSAESTALE  10071 ES_WSAEREMOTE  10091 ES_WSASYSNOTREADY
    10092 ES_WSAVERNOTSUPPORTED  10093 ES_WSANOTINITIALISED  10101 ES_WSAEDISCON
)";

std::map<std::int32_t, std::string> parseKnown()
{
    std::map<std::int32_t, std::string> table;
    std::istringstream in(knownStatuses);
    std::int32_t value = 0;
    std::string name;
    while (in >> value >> name) {
        table.emplace(value, name);
    }
    return table;
}

TEST(StatusName, EveryKnownValueHasItsOwnNameAndNothingElseDoes)
{
    const auto known = parseKnown();
    ASSERT_EQ(known.size(), 57u); // 47 platform codes, 10 of our own besides -100
    std::set<std::string> seen;
    for (std::int32_t value = -1000; value <= 12000; ++value) {
        const std::string name = statusName(value);
        const auto entry = known.find(value);
        if (entry == known.end()) {
            ASSERT_EQ(name, "ES_UNKNOWN_ERROR") << value;
        } else {
            EXPECT_EQ(name, entry->second) << value;
            EXPECT_TRUE(seen.insert(name).second) << name;
        }
    }
    EXPECT_EQ(seen.size(), known.size());
    for (const std::int32_t far : {INT32_MIN, INT32_MAX, 11001, 11004, -100}) {
        EXPECT_STREQ(statusName(far), "ES_UNKNOWN_ERROR") << far;
    }
    EXPECT_STREQ(statusName(ES_WSANOTINITIALISED), "ES_WSANOTINITIALISED");
    EXPECT_STREQ(statusName(ES_UNKNOWN_ERROR), "ES_UNKNOWN_ERROR");
}

} // namespace
