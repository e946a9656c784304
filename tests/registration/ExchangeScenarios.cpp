#include "registration/ExchangeScenarios.h"

#include "test-service/ElGamalKey.h"

#include <algorithm>
#include <atomic>
#include <gtest/gtest.h>
#include <optional>
#include <thread>

namespace scenarios {

namespace {

using testservice::DBProxyBehaviour;
using Mode = DBProxyBehaviour::Mode;
using Cipher = DBProxyBehaviour::Cipher;

const std::vector<std::string> keyPhase = {"Sending public key request.",
                                           "Receiving publickey reply."};
const std::vector<std::string> messagePhase = {"Sending registration message.",
                                               "Receiving registration reply."};
const Bytes defaultResult = {'O', 'K'};

std::vector<std::string> operator+(std::vector<std::string> a, const std::vector<std::string>& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::vector<std::string> exchangeLines(const std::vector<std::string>& perServer)
{
    return directoryLines() + std::vector<std::string>{"Sending registration information."} +
           perServer;
}

std::vector<std::string> attempt(const std::vector<std::string>& after)
{
    return std::vector<std::string>{"Connecting to 127.0.0.1"} + after;
}

const std::vector<std::string> accepted = attempt(keyPhase + messagePhase);

template <typename Configure> DBProxyBehaviour behaviour(Configure configure)
{
    DBProxyBehaviour b;
    configure(b);
    return b;
}

std::unique_ptr<DBProxyServer> answering(DBProxyBehaviour b = {})
{
    return std::make_unique<DBProxyServer>(loopback, std::move(b));
}

std::unique_ptr<DBProxyServer> withKey(int bits)
{
    return std::make_unique<DBProxyServer>(loopback, testservice::ElGamalKey::fromGroup(bits));
}

void expectDecodedCleanly(const DBProxyServer& server)
{
    for (const auto& registration : server.registrations()) {
        for (const std::string& problem : registration.problems) {
            ADD_FAILURE() << "server decoded a problem: " << problem;
        }
    }
}

struct Row {
    const char* name;
    DBProxyBehaviour first;
    std::vector<std::string> logged; // after "Connecting to" the first DBProxy
    std::int32_t code;
    bool secondTried;
    Bytes result = {};
    bool stalls = false;
};

} // namespace

void Driver::listDBProxies(const std::vector<const DBProxyServer*>& servers)
{
    std::vector<testservice::DirectoryEntry> entries;
    for (const DBProxyServer* server : servers) {
        entries.push_back({"DBProxy", server->port(), server->address()});
    }
    listEntries(entries);
}

std::vector<std::string> directoryLines()
{
    return {"Getting DBProxy Addrs", "Connecting to 127.0.0.1", "Sending get directory request.",
            "Receiving directory reply."};
}

std::vector<std::string> lines(const std::string& log)
{
    std::vector<std::string> out;
    std::size_t start = 0;
    for (std::size_t end; (end = log.find('\n', start)) != std::string::npos; start = end + 1) {
        out.push_back(log.substr(start, end - start));
    }
    EXPECT_EQ(start, log.size()) << "log does not end with a line feed";
    EXPECT_EQ(log.find('\r'), std::string::npos);
    return out;
}

void everyFailureRowLogsItsLineAndGoesOnOrStops(Driver& driver)
{
    const std::string unpack = "Invalid message format.  Unpack failed.";
    const std::string undecryptable = "Error decrypting registration reply with symmetric key.";
    const std::vector<Row> rows = {
        {"accepted", {}, keyPhase + messagePhase, 0, false, defaultResult},
        {"refused",
         behaviour([](auto& b) { b.mode = Mode::refuse; }),
         {"Socket error: ES_WSAECONNREFUSED"},
         0,
         true},
        {"closed at once", behaviour([](auto& b) { b.mode = Mode::closeAtOnce; }),
         keyPhase + std::vector<std::string>{"Socket error: ES_SHUTDOWN"}, 0, true},
        {"closed after the key request",
         behaviour([](auto& b) { b.mode = Mode::closeAfterKeyRequest; }),
         keyPhase + std::vector<std::string>{"Socket error: ES_SHUTDOWN"}, 0, true},
        {"stalled before the key reply",
         behaviour([](auto& b) { b.mode = Mode::stallAtKeyReply; }),
         keyPhase + std::vector<std::string>{"Socket error: ES_TIMED_OUT"},
         0,
         true,
         {},
         true},
        {"stalled before the registration reply",
         behaviour([](auto& b) { b.mode = Mode::stallAtRegistrationReply; }),
         keyPhase + messagePhase + std::vector<std::string>{"Socket error: ES_TIMED_OUT"},
         0,
         true,
         {},
         true},
        {"key reply frame too big",
         behaviour([](auto& b) { b.keyReplyShaping.lengthField = 100001; }),
         keyPhase + std::vector<std::string>{"Socket error: ES_MESSAGE_TOO_BIG"}, 0, true},
        {"key reply of one byte", behaviour([](auto& b) { b.keyReplyShaping.bodyLimit = 1; }),
         keyPhase + std::vector<std::string>{unpack}, 0, true},
        {"key blob shorter than its length", behaviour([](auto& b) {
             b.keyReplyBody = Bytes{0x10, 0x00, 0x30};
         }),
         keyPhase + std::vector<std::string>{unpack}, 0, true},
        {"key blob not DER", behaviour([](auto& b) {
             b.keyBlob = Bytes{1, 2, 3};
         }),
         keyPhase + std::vector<std::string>{"Invalid public key."}, 0, true},
        {"key modulus of 9 bits", behaviour([](auto& b) {
             b.keyBlob = testservice::derIntegerSequence({{0x01, 0x01}, {0x7f}, {0x02}, {0x03}});
         }),
         keyPhase + std::vector<std::string>{"Invalid public key."}, 0, true},
        {"zero modulus ends the call", behaviour([](auto& b) { b.zeroModulus = true; }), keyPhase,
         1, false},
        {"registration reply of one byte",
         behaviour([](auto& b) { b.registrationReplyBody = Bytes{0x00}; }),
         keyPhase + messagePhase + std::vector<std::string>{unpack}, 0, true},
        {"reply ciphertext cut short",
         behaviour([](auto& b) { b.registrationReplyShaping.bodyLimit = 10; }),
         keyPhase + messagePhase + std::vector<std::string>{unpack}, 0, true},
        {"reply frame cut off",
         behaviour([](auto& b) { b.registrationReplyShaping.frameLimit = 6; }),
         keyPhase + messagePhase + std::vector<std::string>{"Socket error: ES_TIMED_OUT"}, 0, true},
        {"reply under another key", behaviour([](auto& b) { b.cipher = Cipher::wrongKey; }),
         keyPhase + messagePhase + std::vector<std::string>{undecryptable}, 0, true},
        {"reply not a multiple of 8", behaviour([](auto& b) { b.cipher = Cipher::notMultipleOf8; }),
         keyPhase + messagePhase + std::vector<std::string>{undecryptable}, 0, true},
        {"empty reply ciphertext", behaviour([](auto& b) { b.cipher = Cipher::empty; }),
         keyPhase + messagePhase + std::vector<std::string>{undecryptable}, 0, true},
        {"reply length prefix beyond the plaintext",
         behaviour([](auto& b) { b.lengthPrefix = 1000; }),
         keyPhase + messagePhase + std::vector<std::string>{undecryptable}, 0, true},
        {"DBProxy error", behaviour([](auto& b) { b.dbproxyStatus = 0x8001; }),
         keyPhase + messagePhase + std::vector<std::string>{"Error from DBProxy: -32767"}, 4,
         false},
        {"DBProxy error all ones", behaviour([](auto& b) { b.dbproxyStatus = 0xFFFF; }),
         keyPhase + messagePhase + std::vector<std::string>{"Error from DBProxy: -1"}, 4, false},
        {"DBProxy status 1 is no error", behaviour([](auto& b) { b.dbproxyStatus = 1; }),
         keyPhase + messagePhase, 0, false, defaultResult},
        {"database error 5", behaviour([](auto& b) { b.databaseStatus = 5; }),
         keyPhase + messagePhase + std::vector<std::string>{"Error from database: 5"}, 4, false},
        {"database error all ones", behaviour([](auto& b) { b.databaseStatus = 0xFFFF; }),
         keyPhase + messagePhase + std::vector<std::string>{"Error from database: -1"}, 4, false},
        {"decrypted reply of one byte", behaviour([](auto& b) { b.replyPlaintext = Bytes{0}; }),
         keyPhase + messagePhase + std::vector<std::string>{unpack}, 0, true},
        {"result longer than the reply", behaviour([](auto& b) {
             b.replyPlaintext = Bytes{0, 0, 9, 0, 'a'};
         }),
         keyPhase + messagePhase + std::vector<std::string>{unpack}, 0, true},
        {"result with zero bytes", behaviour([](auto& b) {
             b.result = {'a', 0, 0, 'b', 0};
         }),
         keyPhase + messagePhase, 0, false, Bytes{'a', 0, 0, 'b', 0}},
        {"empty result", behaviour([](auto& b) { b.result = {}; }), keyPhase + messagePhase, 0,
         false, Bytes{}},
        {"bytes after the result ignored",
         behaviour([](auto& b) { b.replyPlaintext = Bytes{0, 0, 1, 0, 'z', 7, 7, 7}; }),
         keyPhase + messagePhase, 0, false, Bytes{'z'}},
    };

    for (const Row& row : rows) {
        if (row.stalls && !driver.hasShortTimeouts()) {
            continue;
        }
        SCOPED_TRACE(row.name);
        auto [first, second] = inPortOrder<DBProxyServer>([&] { return answering(row.first); },
                                                          [] { return answering(); });
        driver.listDBProxies({first.get(), second.get()});
        const Outcome outcome = driver.call({});

        std::vector<std::string> expected = exchangeLines(attempt(row.logged));
        if (row.secondTried) {
            expected = expected + accepted;
        }
        EXPECT_EQ(lines(outcome.log), expected);
        EXPECT_EQ(outcome.code, row.code);
        EXPECT_EQ(outcome.result, row.secondTried ? defaultResult : row.result);
        EXPECT_EQ(second->keyRequestCount(), row.secondTried ? 1u : 0u);
        expectDecodedCleanly(*first);
        expectDecodedCleanly(*second);
    }
}

void allDBProxiesFailing(Driver& driver)
{
    const auto refusing = behaviour([](auto& b) { b.mode = Mode::refuse; });
    const auto erroring = behaviour([](auto& b) { b.cipher = Cipher::wrongKey; });
    auto [first, second] = inPortOrder<DBProxyServer>([&] { return answering(refusing); },
                                                      [&] { return answering(erroring); });
    driver.listDBProxies({first.get(), second.get()});
    const Outcome outcome = driver.call({});
    EXPECT_EQ(outcome.code, 4);
    EXPECT_TRUE(outcome.result.empty());
    EXPECT_EQ(lines(outcome.log),
              exchangeLines(attempt({"Socket error: ES_WSAECONNREFUSED"}) +
                            attempt(keyPhase + messagePhase +
                                    std::vector<std::string>{
                                        "Error decrypting registration reply with symmetric key.",
                                        "Failed all DBProxy servers."})));

    driver.listDBProxies({});
    const Outcome none = driver.call({});
    EXPECT_EQ(none.code, 2);
    EXPECT_EQ(lines(none.log).back(), "No DBProxy server listed in directory server.");
}

void recordAndInnerBlockByteForByte(Driver& driver)
{
    auto server = answering();
    driver.listDBProxies({server.get()});
    ASSERT_EQ(driver.call({"a", 3, 1, 0, 1}).code, 0);

    const std::vector<Bytes> frames = server->requests();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0], (Bytes{0x09, 0, 0, 0, 0x05, 0x00, 0x00, 0x01, 0x00}));

    ASSERT_EQ(server->registrations().size(), 1u);
    const auto registration = server->registrations()[0];
    const Bytes record = {0x05, 0x01, 0x02, 0x00, 0x61, 0x00, 0x02, 0x01, 0x00, 0x03, 0x03,
                          0x01, 0x00, 0x01, 0x04, 0x01, 0x00, 0x00, 0x05, 0x01, 0x00, 0x01};
    EXPECT_EQ(registration.record, record);
    ASSERT_EQ(registration.symmetricKey.size(), 8u);
    Bytes inner = {0x08, 0x00};
    inner.insert(inner.end(), registration.symmetricKey.begin(), registration.symmetricKey.end());
    inner.insert(inner.end(), {0x16, 0x00});
    inner.insert(inner.end(), record.begin(), record.end());
    EXPECT_EQ(registration.innerBlock, inner);
    EXPECT_EQ(inner.size(), 34u);

    const Bytes& frame = frames[1];
    const std::size_t c = registration.ciphertext.size();
    ASSERT_EQ(frame.size(), 4 + 11 + c);
    Bytes head = {0, 0, 0, 0, 0x05, 0x00, 0x00, 0x02, 0x00, 0x11, 0x00, 0x00, 0x00, 0, 0};
    head[0] = static_cast<std::uint8_t>(frame.size());
    head[1] = static_cast<std::uint8_t>(frame.size() >> 8);
    head[13] = static_cast<std::uint8_t>(c);
    head[14] = static_cast<std::uint8_t>(c >> 8);
    EXPECT_EQ(Bytes(frame.begin(), frame.begin() + 15), head);
    expectDecodedCleanly(*server);
}

void recordFieldValues(Driver& driver)
{
    struct Case {
        Call call;
        Bytes text;
        std::uint8_t setting, first, second, third;
    };
    const std::vector<Case> cases = {
        {{"", 0, 0, 0, 0}, {0}, 0, 0, 0, 0},
        {{"name", 300, 2, -1, 7}, {'n', 'a', 'm', 'e', 0}, 44, 1, 1, 1},
        {{"x", -1, 0, 1, 0}, {'x', 0}, 255, 0, 1, 0},
        {{"\xff\x01", 256, 0, 0, -2147483647 - 1}, {0xff, 0x01, 0}, 0, 0, 0, 1},
    };
    auto server = answering();
    driver.listDBProxies({server.get()});
    for (const Case& c : cases) {
        ASSERT_EQ(driver.call(c.call).code, 0);
    }
    const auto registrations = server->registrations();
    ASSERT_EQ(registrations.size(), cases.size());
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(registrations[i].text, cases[i].text);
        EXPECT_EQ(registrations[i].record.size(), 20 + cases[i].text.size());
        EXPECT_EQ(registrations[i].setting, cases[i].setting);
        EXPECT_EQ(registrations[i].firstFlag, cases[i].first);
        EXPECT_EQ(registrations[i].secondFlag, cases[i].second);
        EXPECT_EQ(registrations[i].thirdFlag, cases[i].third);
    }
    expectDecodedCleanly(*server);
}

void freshKeysForEveryAttempt(Driver& driver)
{
    auto [first, second] = inPortOrder<DBProxyServer>(
        [] { return answering(behaviour([](auto& b) { b.cipher = Cipher::wrongKey; })); },
        [] { return answering(); });
    driver.listDBProxies({first.get(), second.get()});
    ASSERT_EQ(driver.call({}).code, 0);
    ASSERT_EQ(driver.call({}).code, 0);
    // The second server can only have decrypted what was encrypted under its
    // own key, so each attempt loaded the key of the server it talked to.
    expectDecodedCleanly(*first);
    expectDecodedCleanly(*second);
    std::vector<Bytes> keys;
    for (const DBProxyServer* server : {first.get(), second.get()}) {
        EXPECT_EQ(server->keyRequestCount(), 2u);
        for (const auto& registration : server->registrations()) {
            keys.push_back(registration.symmetricKey);
        }
    }
    ASSERT_EQ(keys.size(), 4u);
    for (std::size_t i = 0; i < keys.size(); ++i) {
        for (std::size_t j = i + 1; j < keys.size(); ++j) {
            EXPECT_NE(keys[i], keys[j]) << i << " and " << j;
        }
    }
}

void keySizes(Driver& driver)
{
    for (int bits : {1024, 1536, 2048}) {
        SCOPED_TRACE(bits);
        auto server = withKey(bits);
        driver.listDBProxies({server.get()});
        EXPECT_EQ(driver.call({}).code, 0);
        ASSERT_EQ(server->registrations().size(), 1u);
        const auto registration = server->registrations()[0];
        EXPECT_EQ(registration.blockCount, 1u);
        EXPECT_EQ(registration.ciphertext.size(), 4 + 2 * static_cast<std::size_t>(bits / 8));
        expectDecodedCleanly(*server);
    }
}

void textSpanningSeveralBlocks(Driver& driver)
{
    auto server = withKey(1024);
    driver.listDBProxies({server.get()});
    std::string text;
    for (int i = 0; i < 700; ++i) {
        text.push_back(static_cast<char>('!' + i % 90));
    }
    ASSERT_EQ(driver.call({text, 1, 0, 0, 0}).code, 0);
    ASSERT_EQ(server->registrations().size(), 1u);
    const auto registration = server->registrations()[0];
    EXPECT_EQ(registration.text.size(), text.size() + 1);
    EXPECT_EQ(std::string(registration.text.begin(), registration.text.end() - 1), text);
    EXPECT_GE(registration.blockCount, 6u);
    expectDecodedCleanly(*server);
}

namespace {

std::vector<std::string> refusedAsTooLarge()
{
    return exchangeLines(
        attempt(keyPhase + std::vector<std::string>{"Registration message too large.",
                                                    "Failed all DBProxy servers."}));
}

// The longest text some accepted key carries. An L-byte modulus (4 to 258
// bytes) puts L - 3 bytes in each block of 2L ciphertext bytes after a 4-byte
// count, and the ciphertext's length travels in 16 bits; the inner block adds
// 12 bytes and the record 20 to the text and its zero.
std::size_t longestTextForAnyKey()
{
    std::size_t longest = 0;
    for (std::size_t width = 4; width <= 258; ++width) {
        longest = std::max(longest, (0xFFFF - 4) / (2 * width) * (width - 3));
    }
    return longest - 12 - 20 - 1;
}

} // namespace

void tooLargeRecord(Driver& driver)
{
    // A text that no accepted key carries costs no server a connection; one
    // that only other keys than this server's carry is still offered to it.
    const struct {
        const char* name;
        std::size_t length;
        bool offered;
    } rows[] = {
        // With its zero, a record of 65,536 bytes.
        {"record beyond its 16-bit length", 65515, false},
        {"one byte beyond every key", longestTextForAnyKey() + 1, false},
        {"beyond a 1024-bit key only", longestTextForAnyKey(), true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        auto server = withKey(1024);
        driver.listDBProxies({server.get()});
        const Outcome outcome = driver.call({std::string(row.length, 'r'), 0, 0, 0, 0});
        EXPECT_EQ(outcome.code, 4);
        EXPECT_TRUE(outcome.result.empty());
        EXPECT_EQ(lines(outcome.log), row.offered
                                          ? refusedAsTooLarge()
                                          : exchangeLines({"Registration message too large.",
                                                           "Failed all DBProxy servers."}));
        EXPECT_EQ(server->connectionCount(), row.offered ? 1u : 0u);
        EXPECT_TRUE(server->registrations().empty()) << "a message too large was sent";
    }
}

void ciphertextLengthLimit(Driver& driver)
{
    // A small modulus takes many blocks to reach the limit but makes each
    // one cheap.
    auto server = std::make_unique<DBProxyServer>(loopback, testservice::ElGamalKey::generate(256));
    driver.listDBProxies({server.get()});
    // The longest text whose ciphertext length fits in 16 bits, then one
    // byte more. Each block of an L-byte modulus carries L - 3 bytes and
    // costs 2L ciphertext bytes after a 4-byte count; the inner block adds
    // 12 bytes and the record 20 to the text and its zero.
    const std::size_t width = server->key().modulusBytes();
    const std::size_t blocks = (0xFFFF - 4) / (2 * width);
    const std::size_t longest = blocks * (width - 3) - 12 - 20 - 1;
    EXPECT_EQ(driver.call({std::string(longest, 'f'), 0, 0, 0, 0}).code, 0);
    const Outcome outcome = driver.call({std::string(longest + 1, 'c'), 0, 0, 0, 0});
    EXPECT_EQ(outcome.code, 4);
    EXPECT_EQ(lines(outcome.log), refusedAsTooLarge());

    ASSERT_EQ(server->registrations().size(), 1u) << "a message too large was sent";
    EXPECT_EQ(server->registrations()[0].text.size(), longest + 1);
    EXPECT_EQ(server->registrations()[0].ciphertext.size(), 4 + blocks * 2 * width);
    expectDecodedCleanly(*server);
}

void zeroAddressEntry(Driver& driver)
{
    // Linux would take 0.0.0.0 for this machine and reach the first server,
    // which listens at that port on 127.0.0.1.
    auto [local, next] =
        inPortOrder<DBProxyServer>([] { return answering(); }, [] { return answering(); });
    driver.listEntries(
        {{"DBProxy", local->port(), "0.0.0.0"}, {"DBProxy", next->port(), "127.0.0.1"}});
    const Outcome outcome = driver.call({});
    EXPECT_EQ(outcome.code, 0);
    EXPECT_EQ(lines(outcome.log),
              exchangeLines({"Connecting to 0.0.0.0", "Socket error: ES_WSAEADDRNOTAVAIL"}) +
                  accepted);
    EXPECT_EQ(local->connectionCount(), 0u) << "the 0.0.0.0 entry reached this machine";
    EXPECT_EQ(next->registrations().size(), 1u);
}

void concurrentCalls(Driver& driver)
{
    const int threads = 8;
    const int callsPerThread = 25;
    auto [first, second] =
        inPortOrder<DBProxyServer>([] { return answering(); }, [] { return answering(); });
    driver.listDBProxies({first.get(), second.get()});
    std::atomic<int> succeeded{0};
    std::vector<std::thread> callers;
    for (int t = 0; t < threads; ++t) {
        callers.emplace_back([&, t] {
            for (int i = 0; i < callsPerThread; ++i) {
                const Call call{"thread " + std::to_string(t) + " call " + std::to_string(i), t, 1,
                                0, 1};
                if (driver.callPlain(call) == 0) {
                    ++succeeded;
                }
            }
        });
    }
    for (std::thread& caller : callers) {
        caller.join();
    }
    EXPECT_EQ(succeeded.load(), threads * callsPerThread);
    EXPECT_EQ(first->registrations().size(), static_cast<std::size_t>(threads * callsPerThread));
    EXPECT_EQ(second->keyRequestCount(), 0u);
    expectDecodedCleanly(*first);
}

const std::vector<Scenario>& allScenarios()
{
    static const std::vector<Scenario> scenarios = {
        {"EveryFailureRowLogsItsLineAndGoesOnOrStops", everyFailureRowLogsItsLineAndGoesOnOrStops},
        {"AllDBProxiesFailing", allDBProxiesFailing},
        {"RecordAndInnerBlockByteForByte", recordAndInnerBlockByteForByte},
        {"RecordFieldValues", recordFieldValues},
        {"FreshKeysForEveryAttempt", freshKeysForEveryAttempt},
        {"KeySizes", keySizes},
        {"TextSpanningSeveralBlocks", textSpanningSeveralBlocks},
        {"TooLargeRecord", tooLargeRecord},
        {"CiphertextLengthLimit", ciphertextLengthLimit},
        {"ZeroAddressEntryFailsAndTheNextRegisters", zeroAddressEntry},
        {"EightThreadsTwentyFiveCallsEach", concurrentCalls},
    };
    return scenarios;
}

} // namespace scenarios
