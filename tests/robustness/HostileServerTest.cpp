// Servers that push the client to its limits: thousands of dead DBProxies,
// replies trickled a byte at a time, frames of exactly the largest accepted
// size and one byte more, key blobs at the accepted modulus sizes and just
// beyond them, the largest modulus a blob can carry, and g and y as large as
// a blob can carry them.

#include "UnreducedKey.h"
#include "crypt/ElGamalPublicKey.h"
#include "net/SocketLibrary.h"
#include "registration/ExchangeScenarios.h"
#include "registration/InProcessDriver.h"
#include "registration/RegistrationCall.h"
#include "test-service/Wire.h"

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstdlib>
#include <gtest/gtest.h>
#include <memory>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

using scenarios::loopback;
using testservice::Bytes;
using testservice::DBProxyBehaviour;
using testservice::DBProxyServer;
using testservice::DirectoryBehaviour;
using testservice::DirectoryEntry;
using testservice::DirectoryServer;
using testservice::ElGamalKey;
using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Shows a figure in the test's output and in its XML report.
void report(const std::string& name, double seconds)
{
    ::testing::Test::RecordProperty(name, std::to_string(seconds));
    std::printf("%s: %.6f\n", name.c_str(), seconds);
}

std::size_t countLines(const std::string& log, const std::string& line)
{
    const std::vector<std::string> all = scenarios::lines(log);
    return static_cast<std::size_t>(std::count(all.begin(), all.end(), line));
}

bool hasLine(const std::string& log, const std::string& line)
{
    return countLines(log, line) != 0;
}

ElGamalKey smallKey()
{
    return ElGamalKey::fromParameters(testservice::parseHex("FEB183E89BEE8C3456010B169B1379CB"),
                                      testservice::parseHex("7F58C1F44DF7461A2B00858B4D89BCE5"),
                                      Bytes{2},
                                      testservice::parseHex("02D5A1C0F3B64E2917A0C55D3E1B9F02"));
}

ElGamalKey thirtyTwoBitKey()
{
    return ElGamalKey::fromParameters(testservice::parseHex("C029BCF7"),
                                      testservice::parseHex("6014DE7B"), Bytes{2},
                                      Bytes{0x12, 0x34});
}

// A prime of exactly 2,064 bits, the largest modulus the block format serves.
ElGamalKey largestKey()
{
    return ElGamalKey::fromParameters(
        testservice::parseHex(
            "EBFD8617896BE185DB612A9B5990D4C7D47E435BEDD65A4D940779D881426824A85A94E1F4219199694229"
            "50"
            "312962A59B9E302F7A56C670FF4470C852263F9B8404675392DE7D072372C65AF78976EE960AA5D189EABC"
            "5D"
            "234223D8D0B9C9B48F0B2A05FC49D090301F185FD2938201741C09C79F51A47754666F94D1B240029B309F"
            "3C"
            "0E8D77510991225520A21BDCA8CFB23BE075EC85D13231FFE01EEFDC44F693629F906A4DBE8AE2350E1030"
            "55"
            "C94E767EC1065F86B71F3DECA81090A11A8238135A4D6B97172F2907B53D23D63802694928293C02CBB3B7"
            "A9"
            "41C623DF0352181598BF516989F5F5EEA2F487DB534370B4375176838637D430AD998A4499C9"),
        Bytes{1}, Bytes{2}, testservice::parseHex("0123456789ABCDEF0123456789ABCDEF"));
}

// A key blob whose modulus has exactly this many bits; the other numbers are
// small. Not a usable key, and not meant to be.
Bytes blobWithModulusBits(int bits)
{
    Bytes p(static_cast<std::size_t>((bits + 7) / 8), 0xC3);
    p[0] = static_cast<std::uint8_t>(1u << ((bits - 1) % 8));
    return testservice::derIntegerSequence({p, Bytes{3}, Bytes{2}, Bytes{5}});
}

// SEQUENCE { p, 3, 2, 5 } with a modulus of modulusBytes bytes of 0xFF, laid
// out by hand: beyond 65,535 bytes no well-formed DER length exists, and the
// sequence length is never read, so it says 0.
Bytes blobWithModulusBytes(std::size_t modulusBytes)
{
    Bytes blob = {0x30,
                  0x00,
                  0x02,
                  0x82,
                  static_cast<std::uint8_t>(modulusBytes >> 8),
                  static_cast<std::uint8_t>(modulusBytes)};
    blob.resize(blob.size() + modulusBytes, 0xFF);
    testservice::appendBytes(blob, {0x02, 0x01, 0x03, 0x02, 0x01, 0x02, 0x02, 0x01, 0x05});
    return blob;
}

struct Outcome {
    std::int32_t code = -1;
    std::string log;
    double seconds = 0;
};

// One directory server listing one DBProxy, each behaving as told.
struct Service {
    explicit Service(ElGamalKey key, DBProxyBehaviour dbProxyBehaviour = {},
                     DirectoryBehaviour directoryBehaviour = {})
        : dbProxy(std::make_unique<DBProxyServer>(loopback, std::move(key), dbProxyBehaviour))
    {
        driver.directory().setBehaviour(directoryBehaviour);
        driver.listDBProxies({dbProxy.get()});
    }

    Outcome call(const ExchangeTimeouts& timeouts = {})
    {
        driver.setTimeouts(timeouts);
        const auto start = Clock::now();
        const scenarios::Outcome outcome = driver.call({});
        return {outcome.code, outcome.log, secondsSince(start)};
    }

    std::unique_ptr<DBProxyServer> dbProxy;
    scenarios::InProcessDriver driver;
};

// A TCP port that nothing on this machine can listen on while the test
// runs: bound on every address, never listened on.
class ReservedPort {
  public:
    ReservedPort()
    {
        descriptor = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in any{};
        any.sin_family = AF_INET;
        socklen_t length = sizeof any;
        EXPECT_EQ(::bind(descriptor, reinterpret_cast<sockaddr*>(&any), sizeof any), 0);
        EXPECT_EQ(::getsockname(descriptor, reinterpret_cast<sockaddr*>(&any), &length), 0);
        port = ntohs(any.sin_port);
    }
    ~ReservedPort() { ::close(descriptor); }
    ReservedPort(const ReservedPort&) = delete;
    ReservedPort& operator=(const ReservedPort&) = delete;

    std::uint16_t port = 0;

  private:
    int descriptor = -1;
};

TEST(HostileServers, SixtyFiveThousandDBProxiesOnClosedPorts)
{
    // Some 70 seconds of refused connects, each with its prescribed 1 ms
    // pause: run where asked for only.
    if (std::getenv("REGISTER_RUN_SLOW_TESTS") == nullptr) {
        GTEST_SKIP() << "set REGISTER_RUN_SLOW_TESTS=1 to run";
    }
    // A frame holds at most (99,996 - 14) / 9 = 11,109 entries, so the
    // 65,535 come from six directory servers: five replies that claim all of
    // them and break off (their entries stay), then one that completes.
    constexpr std::size_t total = 65535;
    constexpr std::size_t perReply = 11109;
    const ReservedPort closed;
    std::vector<DirectoryEntry> entries;
    for (std::size_t i = 0; i < total; ++i) {
        entries.push_back({"", closed.port,
                           "127.1." + std::to_string(i >> 8) + "." + std::to_string(i & 0xFF), 0});
    }
    std::vector<std::unique_ptr<DirectoryServer>> directories;
    for (int i = 0; i < 6; ++i) {
        directories.push_back(
            std::make_unique<DirectoryServer>(loopback, std::vector<DirectoryEntry>{}));
    }
    std::sort(directories.begin(), directories.end(),
              [](const auto& a, const auto& b) { return a->port() < b->port(); });

    startSockets();
    RegistrationClient client;
    for (std::size_t i = 0; i < directories.size(); ++i) {
        const auto first = entries.begin() + static_cast<std::ptrdiff_t>(i * perReply);
        const auto last = i + 1 == directories.size() ? entries.end() : first + perReply;
        DirectoryBehaviour behaviour;
        if (last != entries.end()) {
            behaviour.entryCount = static_cast<std::uint16_t>(total);
        }
        directories[i]->setEntries({first, last});
        directories[i]->setBehaviour(behaviour);
        SocketAddress address;
        ASSERT_TRUE(address.parse(directories[i]->endpointText().c_str()));
        client.directoryServers.insert(address);
    }

    const auto start = Clock::now();
    ASSERT_TRUE(client.getDBProxyAddresses(registrationDirectoryPath));
    ASSERT_EQ(client.dbProxyAddresses.size(), total);
    client.registrationText = {'a', 0};
    // What the driver turns into code 4.
    EXPECT_FALSE(client.sendRegistration());
    const double seconds = secondsSince(start);
    stopSockets();

    const std::string& log = client.progressLog.text();
    EXPECT_EQ(countLines(log, "Invalid directory reply.  Unpack failed."), 5u);
    EXPECT_EQ(countLines(log, "Socket error: ES_WSAECONNREFUSED"), total);
    EXPECT_TRUE(log.ends_with("Failed all DBProxy servers.\n"));
    report("seconds for 65535 refused DBProxies", seconds);
}

TEST(HostileServers, RepliesTrickledAByteAtATime)
{
    testservice::ReplyShaping trickle;
    trickle.trickleDelay = std::chrono::milliseconds(2);
    testservice::ReplyShaping crawl;
    crawl.trickleDelay = std::chrono::milliseconds(25);
    const ExchangeTimeouts defaults;
    const ExchangeTimeouts brief{2000, 2000, 400};

    struct Case {
        const char* name;
        const testservice::ReplyShaping* directoryReply;
        const testservice::ReplyShaping* keyReply;
        const testservice::ReplyShaping* registrationReply;
        const ExchangeTimeouts& timeouts;
        std::int32_t code;
        const char* line;
    } cases[] = {
        {"every reply, within the timeouts", &trickle, &trickle, &trickle, defaults,
         REGISTER_RESULT_SUCCESS, nullptr},
        {"directory reply, beyond the receive timeout", &crawl, nullptr, nullptr, brief,
         REGISTER_RESULT_DIRECTORY_FAILED, "Socket error: ES_TIMED_OUT"},
        {"key reply, beyond the receive timeout", nullptr, &crawl, nullptr, brief,
         REGISTER_RESULT_REGISTRATION_FAILED, "Socket error: ES_TIMED_OUT"},
        {"registration reply, beyond the receive timeout", nullptr, nullptr, &crawl, brief,
         REGISTER_RESULT_REGISTRATION_FAILED, "Socket error: ES_TIMED_OUT"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DBProxyBehaviour dbProxy;
        DirectoryBehaviour directory;
        if (c.directoryReply)
            directory.shaping = *c.directoryReply;
        if (c.keyReply)
            dbProxy.keyReplyShaping = *c.keyReply;
        if (c.registrationReply)
            dbProxy.registrationReplyShaping = *c.registrationReply;
        Service service(smallKey(), dbProxy, directory);
        const Outcome out = service.call(c.timeouts);
        EXPECT_EQ(out.code, c.code) << out.log;
        if (c.line) {
            EXPECT_TRUE(hasLine(out.log, c.line)) << out.log;
            // Each stalled receive gives up at its timeout; nothing waits
            // for the trickle to end.
            EXPECT_LT(out.seconds, c.timeouts.receiveMs / 1000.0 + 5.0);
        }
    }
}

TEST(HostileServers, FramesOfTheLargestSizeAndOneByteMore)
{
    constexpr std::size_t largestBody = 99996;
    const Bytes blob = smallKey().derBlob();
    const auto padded = [](Bytes body, std::size_t size) {
        body.resize(size, 0xEE);
        return body;
    };

    for (const std::size_t size : {largestBody, largestBody + 1}) {
        const bool fits = size == largestBody;
        SCOPED_TRACE("body of " + std::to_string(size) + " bytes");
        const char* tooBig = "Socket error: ES_MESSAGE_TOO_BIG";
        {
            // Bytes after the last entry are ignored.
            Service service(smallKey());
            DirectoryBehaviour behaviour;
            const std::vector<DirectoryEntry> entries = {
                {"DBProxy", service.dbProxy->port(), "127.0.0.1", 0}};
            behaviour.trailer.resize(size - testservice::buildDirectoryReply(entries, {}).size());
            service.driver.directory().setBehaviour(behaviour);
            const Outcome out = service.call();
            EXPECT_EQ(out.code, fits ? REGISTER_RESULT_SUCCESS : REGISTER_RESULT_DIRECTORY_FAILED)
                << out.log;
            EXPECT_EQ(hasLine(out.log, tooBig), !fits);
        }
        {
            Bytes keyReply;
            testservice::append16le(keyReply, static_cast<std::uint16_t>(blob.size()));
            testservice::appendBytes(keyReply, blob);
            DBProxyBehaviour behaviour;
            behaviour.keyReplyBody = padded(keyReply, size);
            const Outcome out = Service(smallKey(), behaviour).call();
            EXPECT_EQ(out.code,
                      fits ? REGISTER_RESULT_SUCCESS : REGISTER_RESULT_REGISTRATION_FAILED)
                << out.log;
            EXPECT_EQ(hasLine(out.log, tooBig), !fits);
        }
        {
            // Under a key the server does not know, so the frame is taken and
            // read, and only its decryption fails.
            Bytes reply;
            testservice::append16le(reply, 0);
            testservice::append16le(reply, 65528);
            DBProxyBehaviour behaviour;
            behaviour.registrationReplyBody = padded(reply, size);
            const Outcome out = Service(smallKey(), behaviour).call();
            EXPECT_EQ(out.code, REGISTER_RESULT_REGISTRATION_FAILED);
            EXPECT_EQ(hasLine(out.log, tooBig), !fits) << out.log;
            EXPECT_EQ(hasLine(out.log, "Error decrypting registration reply with symmetric key."),
                      fits);
        }
    }
}

TEST(HostileServers, KeyBlobsAtTheAcceptedSizesAndJustBeyond)
{
    const char* invalid = "Invalid public key.";
    const auto refusedKey = [](int bits) {
        DBProxyBehaviour behaviour;
        behaviour.keyBlob = blobWithModulusBits(bits);
        return behaviour;
    };
    struct Case {
        std::string name;
        ElGamalKey key;
        DBProxyBehaviour behaviour;
        std::int32_t code;
        const char* line;
    };
    const ElGamalKey key = smallKey();
    Bytes longestBlob = key.derBlob();
    longestBlob.resize(65535, 0x5A); // bytes after the fourth INTEGER are ignored
    DBProxyBehaviour longest;
    longest.keyBlob = longestBlob;
    DBProxyBehaviour beyond;
    beyond.keyReplyBody = Bytes{0xFF, 0xFF};
    beyond.keyReplyBody->resize(2 + 65534, 0x5A);

    const Case cases[] = {
        {"32-bit modulus", thirtyTwoBitKey(), {}, REGISTER_RESULT_SUCCESS, nullptr},
        {"2,064-bit modulus", largestKey(), {}, REGISTER_RESULT_SUCCESS, nullptr},
        {"31-bit modulus", key, refusedKey(31), REGISTER_RESULT_REGISTRATION_FAILED, invalid},
        {"24-bit modulus", key, refusedKey(24), REGISTER_RESULT_REGISTRATION_FAILED, invalid},
        {"2,065-bit modulus", key, refusedKey(2065), REGISTER_RESULT_REGISTRATION_FAILED, invalid},
        {"2,072-bit modulus", key, refusedKey(2072), REGISTER_RESULT_REGISTRATION_FAILED, invalid},
        {"blob of 65,535 bytes", key, longest, REGISTER_RESULT_SUCCESS, nullptr},
        {"key length one beyond the reply", key, beyond, REGISTER_RESULT_REGISTRATION_FAILED,
         "Invalid message format.  Unpack failed."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Service service(c.key, c.behaviour);
        const Outcome out = service.call();
        EXPECT_EQ(out.code, c.code) << out.log;
        if (c.line) {
            EXPECT_TRUE(hasLine(out.log, c.line)) << out.log;
        } else {
            // The service read the record back with its own key.
            const auto received = service.dbProxy->registrations();
            ASSERT_EQ(received.size(), 1u);
            EXPECT_TRUE(received[0].ok());
        }
    }
}

TEST(HostileServers, LargestModulusIsRefusedWithoutArithmetic)
{
    // Refused for its size alone. Its reciprocal would now cost a fraction of
    // a second (many minutes while division was bit-serial); the bound below
    // only guards against arithmetic of that kind coming back.
    constexpr double refusedWithin = 5.0;

    // The largest INTEGER the key format has: 65,535 bytes, more than a
    // public-key reply can carry, so given to the key directly.
    const Bytes blob = blobWithModulusBytes(65535);
    LumenCryptMini::ElGamalPublicKey key(ByteString{1, 2, 3});
    const auto start = Clock::now();
    EXPECT_FALSE(key.load(blob.data(), static_cast<std::int32_t>(blob.size())));
    const double loadSeconds = secondsSince(start);
    EXPECT_LT(loadSeconds, refusedWithin);
    report("seconds to refuse a 65535-byte modulus", loadSeconds);

    // The largest modulus that fits a reply's 65,535-byte blob.
    DBProxyBehaviour behaviour;
    behaviour.keyBlob = blobWithModulusBytes(65535 - 15);
    ASSERT_EQ(behaviour.keyBlob->size(), 65535u);
    const Outcome out = Service(smallKey(), behaviour).call();
    EXPECT_EQ(out.code, REGISTER_RESULT_REGISTRATION_FAILED);
    EXPECT_TRUE(hasLine(out.log, "Invalid public key.")) << out.log;
    EXPECT_LT(out.seconds, refusedWithin);
    report("seconds for a registration offered a 65520-byte modulus", out.seconds);
}

TEST(HostileServers, GAndYThatFillTheKeyReplyCostNoMoreThanTheirResidues)
{
    // Reduced in every block rather than once per key, and one bit at a
    // time, such numbers once held the caller for half a minute under a
    // 32-bit modulus. The margin only tells that apart from a plain
    // registration on a loaded machine.
    constexpr double margin = 5.0;
    for (const ElGamalKey& key : {thirtyTwoBitKey(), ElGamalKey::fromGroup(1024)}) {
        const std::string bits = std::to_string(key.bits());
        SCOPED_TRACE(bits + "-bit modulus");
        DBProxyBehaviour unreduced;
        unreduced.keyBlob = testservice::unreducedKeyBlob(key);
        ASSERT_GT(unreduced.keyBlob->size(), 65000u);
        const Outcome plain = Service(key).call();
        EXPECT_EQ(plain.code, REGISTER_RESULT_SUCCESS) << plain.log;
        Service service(key, unreduced);
        const Outcome out = service.call();
        EXPECT_EQ(out.code, REGISTER_RESULT_SUCCESS) << out.log;
        // The service opened the record with its own key.
        const auto received = service.dbProxy->registrations();
        ASSERT_EQ(received.size(), 1u);
        EXPECT_TRUE(received[0].ok());
        EXPECT_LT(out.seconds, plain.seconds + margin);
        report("seconds for a registration with a " + bits + "-bit key as sent", plain.seconds);
        report("seconds for it with g and y filling the reply", out.seconds);
    }
}

} // namespace
