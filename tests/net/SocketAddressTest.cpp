#include "net/SocketAddress.h"

#include "net/SocketLibrary.h"

#include <gtest/gtest.h>
#include <set>
#include <vector>

namespace {

using Record = Platform::SocketAddressRecord;

Record record(std::uint16_t port, std::array<std::uint8_t, 4> ip)
{
    return {2,
            0,
            static_cast<std::uint8_t>(port >> 8),
            static_cast<std::uint8_t>(port),
            ip[0],
            ip[1],
            ip[2],
            ip[3]};
}

struct ParseCase {
    const char* text;
    bool valid;
    Record bytes;
};

TEST(SocketAddressParse, TextForms)
{
    ASSERT_EQ(startSockets(), 0);
    const std::vector<ParseCase> cases = {
        {"10.0.0.1:6003", true, {2, 0, 0x17, 0x73, 0x0A, 0x00, 0x00, 0x01}},
        {"10.0.0.1", false, {}},
        {"", false, {}},
        {"10.0.0.1:", true, record(0, {10, 0, 0, 1})},
        {"10.0.0.1:abc", true, record(0, {10, 0, 0, 1})},
        {"10.0.0.1:70000", true, record(4464, {10, 0, 0, 1})},
        {"10.0.0.1: \t+80x9", true, record(80, {10, 0, 0, 1})},
        {"10.0.0.1:-1", true, record(65535, {10, 0, 0, 1})},
        {"10.0.0.1:4294967297", true, record(1, {10, 0, 0, 1})},
        {"192.168.200.7:b:c", true, record(0, {192, 168, 200, 7})},
        {"1.2.3.4:5:6", true, record(5, {1, 2, 3, 4})},
        {"no-such-host.invalid:80", false, {}},
    };
    for (const ParseCase& c : cases) {
        SCOPED_TRACE(c.text);
        SocketAddress address(c.text);
        EXPECT_EQ(address.isValid(), c.valid);
        EXPECT_EQ(address.record(), c.bytes);
        // parse() over a set value must clear it first.
        SocketAddress reused("9.9.9.9:9");
        EXPECT_EQ(reused.parse(c.text), c.valid);
        EXPECT_EQ(reused.record(), c.bytes);
    }
    EXPECT_FALSE(SocketAddress().parse(nullptr));

    const SocketAddress named("localhost:6003");
    EXPECT_TRUE(named.isValid());
    EXPECT_EQ(named.ipNetworkOrder()[0], 127);
    EXPECT_EQ(named.record()[2], 0x17);
    stopSockets();
}

TEST(SocketAddressImage, CopiedUnchangedAndTextFirstOctetFirst)
{
    const Record image = {2, 0, 0x1F, 0x90, 200, 1, 2, 250};
    const SocketAddress address(image);
    EXPECT_TRUE(address.isValid());
    EXPECT_EQ(address.record(), image);
    EXPECT_EQ(address.ipText(), "200.1.2.250");
    EXPECT_EQ(address.ipNetworkOrder(), (std::array<std::uint8_t, 4>{200, 1, 2, 250}));
    EXPECT_TRUE(SocketAddress(Record{}).isValid());
    EXPECT_FALSE(SocketAddress().isValid());
    EXPECT_EQ(SocketAddress().ipText(), "0.0.0.0");
}

TEST(SocketAddressOrder, PortFirstThenAddressValidFlagIgnored)
{
    const SocketAddress empty;
    const SocketAddress zeroImage{Record{}};
    const SocketAddress port80(record(80, {255, 255, 255, 255}));
    const SocketAddress low(record(6003, {9, 255, 255, 255}));
    const SocketAddress high(record(6003, {10, 0, 0, 0}));
    const SocketAddress higher(record(6003, {10, 0, 1, 1}));
    const SocketAddress highest(record(6003, {192, 168, 0, 1}));

    EXPECT_FALSE(empty < zeroImage);
    EXPECT_FALSE(zeroImage < empty);

    // Inserted out of order and with duplicates, walked in ascending order.
    std::set<SocketAddress> servers = {highest, high, port80, low, higher, high, empty, zeroImage};
    const std::vector<SocketAddress> walk(servers.begin(), servers.end());
    const std::vector<SocketAddress> expected = {empty, port80, low, high, higher, highest};
    ASSERT_EQ(walk.size(), expected.size());
    for (std::size_t i = 0; i < walk.size(); ++i) {
        EXPECT_EQ(walk[i].record(), expected[i].record()) << i;
    }
}

} // namespace
