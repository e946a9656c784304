#include "DirectRegistration.h"
#include "net/SocketLibrary.h"
#include "registration/ExchangeScenarios.h"
#include "registration/RegistrationClient.h"
#include "test-service/DirectoryServer.h"

#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

namespace {

using testservice::Bytes;
using testservice::DirectoryBehaviour;
using testservice::DirectoryEntry;
using testservice::DirectoryServer;
using Mode = DirectoryBehaviour::Mode;

using scenarios::lines;
using scenarios::loopback;

// "ip:port" of each address, in the order the set walks them.
std::vector<std::string> endpoints(const std::set<SocketAddress>& addresses)
{
    std::vector<std::string> out;
    for (const SocketAddress& address : addresses) {
        const auto& record = address.record();
        out.push_back(address.ipText() + ":" + std::to_string(record[2] << 8 | record[3]));
    }
    return out;
}

struct SocketLibraryFixture : ::testing::Test {
    void SetUp() override { startSockets(); }
    void TearDown() override { stopSockets(); }
};

using DirectoryLookup = SocketLibraryFixture;

template <typename MakeFirst, typename MakeSecond>
auto orderedPair(MakeFirst makeFirst, MakeSecond makeSecond)
{
    return scenarios::inPortOrder<DirectoryServer>(makeFirst, makeSecond);
}

RegistrationClient clientFor(std::initializer_list<const DirectoryServer*> servers)
{
    RegistrationClient client;
    // Long enough for a loaded machine, short enough to wait out a stall.
    client.timeouts = {5000, 5000, 2500};
    for (const DirectoryServer* server : servers) {
        client.directoryServers.insert(SocketAddress(server->endpointText().c_str()));
    }
    return client;
}

const std::vector<DirectoryEntry> twoEntries = {{"b", 800, "10.0.0.1"}, {"a", 700, "10.0.0.2"}};
const std::vector<DirectoryEntry> fallbackEntry = {{"c", 4000, "10.9.9.9"}};

TEST_F(DirectoryLookup, RequestIsTheFixed53ByteMessageInOneFrame)
{
    DirectoryServer server(loopback, twoEntries);
    RegistrationClient client = clientFor({&server});
    ASSERT_TRUE(client.getDBProxyAddresses(registrationDirectoryPath));

    Bytes expected = {0x39, 0, 0, 0,    0x05, 0x02, 0x00, 0x67, 0x00,
                      0x02, 0, 0, 0x06, 0,    0,    0x13, 0x00};
    for (char c : std::string("/Emberfall/Register")) {
        expected.push_back(static_cast<std::uint8_t>(c));
        expected.push_back(0);
    }
    expected.insert(expected.end(), {0, 0});
    ASSERT_EQ(server.requests().size(), 1u);
    EXPECT_EQ(server.requests()[0], expected);
    EXPECT_EQ(expected.size(), 57u);
}

struct FailureRow {
    const char* name;
    std::function<void(DirectoryBehaviour&)> misbehave;
    std::vector<std::string> loggedAfterReceive; // empty: the reply was accepted
    bool goesOn;
    bool refuse = false;
    std::vector<DirectoryEntry> entries = twoEntries;
    std::vector<std::string> kept = {};
};

TEST_F(DirectoryLookup, EveryFailureLogsItsLineAndGoesOnOrStops)
{
    const std::vector<FailureRow> rows = {
        {"refused", nullptr, {"Socket error: ES_WSAECONNREFUSED"}, true, true},
        {"closed at once",
         [](auto& b) { b.mode = Mode::closeAtOnce; },
         {"Socket error: ES_SHUTDOWN"},
         true},
        {"stalled", [](auto& b) { b.mode = Mode::stall; }, {"Socket error: ES_TIMED_OUT"}, true},
        {"frame cut short",
         [](auto& b) { b.shaping.frameLimit = 9; },
         {"Socket error: ES_TIMED_OUT"},
         true},
        {"frame length 100001",
         [](auto& b) { b.shaping.lengthField = 100001; },
         {"Socket error: ES_MESSAGE_TOO_BIG"},
         true},
        {"frame length top bit",
         [](auto& b) { b.shaping.lengthField = 0x80000000u; },
         {"Socket error: ES_MESSAGE_TOO_BIG"},
         true},
        {"message type 4",
         [](auto& b) { b.messageType = 4; },
         {"Invalid directory reply.  Header Type: 5  Service Type: 2  Message Type: 4"},
         true},
        {"header all ones",
         [](auto& b) {
             b.headerType = 255;
             b.serviceType = 65535;
             b.messageType = 65535;
         },
         {"Invalid directory reply.  Header Type: -1  Service Type: -1  Message Type: -1"},
         true},
        {"reply of 3 bytes",
         [](auto& b) { b.shaping.bodyLimit = 3; },
         {"Invalid directory reply.  Unpack failed."},
         true},
        {"cut inside the third entry",
         [](auto& b) { b.cutInsideEntry = 2; },
         {"Invalid directory reply.  Unpack failed."},
         true,
         false,
         {{"b", 800, "10.0.0.1"}, {"a", 700, "10.0.0.2"}, {"x", 1, "1.1.1.1"}},
         {"10.0.0.2:700", "10.0.0.1:800"}},
        {"count beyond the entries",
         [](auto& b) { b.entryCount = 3; },
         {"Invalid directory reply.  Unpack failed."},
         true,
         false,
         twoEntries,
         {"10.0.0.2:700", "10.0.0.1:800"}},
        {"error status",
         [](auto& b) { b.status = 0x8001; },
         {"Directory Server Error: -32767"},
         false},
        {"error status all ones",
         [](auto& b) { b.status = 0xFFFF; },
         {"Directory Server Error: -1"},
         false},
        {"no entries",
         nullptr,
         {"No DBProxy server listed in directory server."},
         false,
         false,
         {}},
        {"status 1 is success",
         [](auto& b) { b.status = 1; },
         {},
         false,
         false,
         twoEntries,
         {"10.0.0.2:700", "10.0.0.1:800"}},
        {"trailing bytes ignored",
         [](auto& b) {
             b.trailer = {1, 2, 3};
         },
         {},
         false,
         false,
         twoEntries,
         {"10.0.0.2:700", "10.0.0.1:800"}},
    };

    for (const FailureRow& row : rows) {
        SCOPED_TRACE(row.name);
        DirectoryBehaviour behaviour;
        if (row.refuse) {
            behaviour.mode = Mode::refuse;
        }
        if (row.misbehave) {
            row.misbehave(behaviour);
        }
        auto [first, second] = orderedPair(
            [&] { return std::make_unique<DirectoryServer>(loopback, row.entries, behaviour); },
            [] { return std::make_unique<DirectoryServer>(loopback, fallbackEntry); });
        RegistrationClient client = clientFor({first.get(), second.get()});
        const bool listed = client.getDBProxyAddresses(registrationDirectoryPath);

        std::vector<std::string> expected = {"Getting DBProxy Addrs", "Connecting to 127.0.0.1"};
        if (!row.refuse) {
            expected.insert(expected.end(),
                            {"Sending get directory request.", "Receiving directory reply."});
        }
        expected.insert(expected.end(), row.loggedAfterReceive.begin(),
                        row.loggedAfterReceive.end());
        std::vector<std::string> kept = row.kept;
        if (row.goesOn) {
            expected.insert(expected.end(),
                            {"Connecting to 127.0.0.1", "Sending get directory request.",
                             "Receiving directory reply."});
            kept.push_back("10.9.9.9:4000");
        }
        EXPECT_EQ(lines(client.progressLog.text()), expected);
        EXPECT_EQ(listed, !kept.empty());
        EXPECT_EQ(second->connectionCount(), row.goesOn ? 1u : 0u);
        EXPECT_EQ(endpoints(client.dbProxyAddresses), kept);
    }
}

TEST_F(DirectoryLookup, EntriesAreKeptInAddressOrderWithoutDuplicates)
{
    DirectoryServer server(loopback, {{"d", 6003, "10.0.0.0"},
                                      {"a", 800, "10.0.0.1"},
                                      {"b", 700, "10.0.0.2"},
                                      {"c", 6003, "9.255.255.255"},
                                      {"a", 800, "10.0.0.1"},
                                      {"e", 258, "192.168.0.1"}});
    RegistrationClient client = clientFor({&server});
    ASSERT_TRUE(client.getDBProxyAddresses(registrationDirectoryPath));
    EXPECT_EQ(endpoints(client.dbProxyAddresses),
              (std::vector<std::string>{"192.168.0.1:258", "10.0.0.2:700", "10.0.0.1:800",
                                        "9.255.255.255:6003", "10.0.0.0:6003"}));
    const auto& first = client.dbProxyAddresses.begin()->record();
    EXPECT_EQ((Bytes(first.begin(), first.end())),
              (Bytes{2, 0, 1, 2, 192, 168, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0}));
}

TEST_F(DirectoryLookup, NoDirectoryServersFailsAtOnce)
{
    RegistrationClient client;
    EXPECT_FALSE(client.getDBProxyAddresses(registrationDirectoryPath));
    EXPECT_EQ(client.progressLog.text(),
              "Getting DBProxy Addrs\nNo directory servers to connect to.\n");
}

using Driver = SocketLibraryFixture;

RegistrationReport runAgainst(const std::string& west, const std::string& east,
                              std::int32_t expectedCode)
{
    RegistrationReport report;
    EXPECT_EQ(runRegistrationWith(west.c_str(), east.c_str(), {"user", 0, 0, 0, 0, 0}, &report,
                                  {5000, 5000, 2500}),
              expectedCode);
    return report;
}

TEST_F(Driver, BothDirectoryServersDownGivesCode2)
{
    DirectoryBehaviour refuse;
    refuse.mode = Mode::refuse;
    DirectoryServer west(loopback, twoEntries, refuse);
    DirectoryServer east(loopback, twoEntries, refuse);
    const RegistrationReport report = runAgainst(west.endpointText(), east.endpointText(), 2);
    EXPECT_EQ(lines(report.progressLog),
              (std::vector<std::string>{
                  "Getting DBProxy Addrs", "Connecting to 127.0.0.1",
                  "Socket error: ES_WSAECONNREFUSED", "Connecting to 127.0.0.1",
                  "Socket error: ES_WSAECONNREFUSED", "Failed all directory servers."}));
}

TEST_F(Driver, DirectoryServersAreAskedInAddressOrderAndOnceEach)
{
    DirectoryBehaviour error;
    error.status = 0x8000;
    auto [low, high] =
        orderedPair([&] { return std::make_unique<DirectoryServer>(loopback, twoEntries, error); },
                    [&] { return std::make_unique<DirectoryServer>(loopback, twoEntries, error); });
    // The western endpoint is inserted first but sorts last.
    runAgainst(high->endpointText(), low->endpointText(), 2);
    EXPECT_EQ(low->connectionCount(), 1u);
    EXPECT_EQ(high->connectionCount(), 0u);

    const RegistrationReport twice = runAgainst(low->endpointText(), low->endpointText(), 2);
    EXPECT_EQ(low->connectionCount(), 2u);
    EXPECT_EQ(lines(twice.progressLog).back(), "Directory Server Error: -32768");
}

TEST_F(Driver, UnresolvableHostsAreTriedFirstAsTheZeroAddress)
{
    DirectoryServer east(loopback, {}, {});
    const RegistrationReport report =
        runAgainst("no-such-host.invalid:6003", east.endpointText(), 2);
    const std::vector<std::string> logged = lines(report.progressLog);
    ASSERT_EQ(logged.size(), 7u) << report.progressLog;
    EXPECT_EQ(logged[1], "Connecting to 0.0.0.0");
    EXPECT_EQ(logged[2].rfind("Socket error: ES_", 0), 0u) << logged[2];
    EXPECT_EQ(logged[3], "Connecting to 127.0.0.1");
    EXPECT_EQ(logged[6], "No DBProxy server listed in directory server.");

    // Two unresolved names are the same all-zero address: one attempt.
    const RegistrationReport both = runAgainst("a.invalid:6003", "b.invalid:6003", 2);
    EXPECT_EQ(lines(both.progressLog).size(), 4u) << both.progressLog;
}

TEST_F(Driver, NullTextFailsWithoutTouchingTheNetwork)
{
    DirectoryServer server(loopback, twoEntries);
    RegistrationReport report;
    report.progressLog = "stale";
    EXPECT_EQ(runRegistrationWith(server.endpointText().c_str(), server.endpointText().c_str(),
                                  {nullptr, 0, 0, 0, 0, 0}, &report),
              1);
    EXPECT_EQ(server.connectionCount(), 0u);
    EXPECT_TRUE(report.progressLog.empty());
}

} // namespace
