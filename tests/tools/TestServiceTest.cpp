// The loopback service checked with a raw socket client and OpenSSL, so that
// the library's end-to-end tests rest on a server that is right by itself.
#define OPENSSL_SUPPRESS_DEPRECATED // BF_* is deprecated in OpenSSL 3
#include "test-service/DBProxyServer.h"
#include "test-service/DirectoryServer.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <gtest/gtest.h>
#include <memory>
#include <netinet/in.h>
#include <openssl/asn1.h>
#include <openssl/blowfish.h>
#include <openssl/bn.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using namespace testservice;
using namespace std::chrono_literals;

// Designated initializers of these structs would leave fields unnamed.
template <typename Behaviour> Behaviour with(const std::function<void(Behaviour&)>& set)
{
    Behaviour behaviour;
    set(behaviour);
    return behaviour;
}

Bytes frameOf(const Bytes& body)
{
    const auto length = static_cast<std::uint32_t>(body.size() + 4);
    Bytes frame{static_cast<std::uint8_t>(length), static_cast<std::uint8_t>(length >> 8),
                static_cast<std::uint8_t>(length >> 16), static_cast<std::uint8_t>(length >> 24)};
    frame.insert(frame.end(), body.begin(), body.end());
    return frame;
}

Bytes concat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes& part : parts) {
        out.insert(out.end(), part.begin(), part.end());
    }
    return out;
}

// A blocking client whose reads give up after a short quiet spell.
class RawClient {
  public:
    explicit RawClient(const Server& server)
    {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(server.port());
        inet_pton(AF_INET, server.address().c_str(), &address.sin_addr);
        fd = ::socket(AF_INET, SOCK_STREAM, 0);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            connectError = errno;
        }
    }
    ~RawClient() { ::close(fd); }

    void send(const Bytes& bytes)
    {
        ASSERT_EQ(::send(fd, bytes.data(), bytes.size(), 0), ssize_t(bytes.size()));
    }

    // Up to count bytes; fewer when the peer closes or is silent for quiet.
    Bytes receive(std::size_t count, std::chrono::milliseconds quiet = 2000ms)
    {
        Bytes got;
        while (got.size() < count) {
            pollfd waiting{fd, POLLIN, 0};
            if (::poll(&waiting, 1, static_cast<int>(quiet.count())) != 1) {
                break;
            }
            std::uint8_t buffer[4096];
            const ssize_t n = ::recv(fd, buffer, std::min(sizeof buffer, count - got.size()), 0);
            if (n <= 0) {
                peerClosed = n == 0;
                break;
            }
            got.insert(got.end(), buffer, buffer + n);
        }
        return got;
    }

    Bytes receiveBody()
    {
        const Bytes prefix = receive(4);
        if (prefix.size() < 4) {
            return {};
        }
        return receive(
            (prefix[0] | prefix[1] << 8 | prefix[2] << 16 | std::size_t(prefix[3]) << 24) - 4);
    }

    int connectError = 0;
    bool peerClosed = false;

  private:
    int fd = -1;
};

const Bytes getDirectoryRequest = [] {
    Bytes body{0x05, 0x02, 0x00, 0x67, 0x00, 0x02, 0x00, 0x00, 0x06, 0x00, 0x00, 0x13, 0x00};
    for (const char unit : std::string("/Emberfall/Register")) {
        body.push_back(static_cast<std::uint8_t>(unit));
        body.push_back(0);
    }
    body.push_back(0);
    body.push_back(0);
    return body;
}();

const std::vector<DirectoryEntry> listedEntries = {
    {"b", 700, "10.0.0.2", 0}, {"a", 258, "10.0.0.1", 7}, {"b", 700, "10.0.0.2", 0}};
const Bytes replyHeader = {0x05, 0x02, 0x00, 0x03, 0x00, 0x00, 0x00,
                           0x00, 0x00, 0x00, 0x00, 0x00, 0x03, 0x00};
const Bytes entryB = {0x01, 0x00, 'b', 0x00, 0x00, 0x02, 0xbc, 10, 0, 0, 2};
const Bytes entryA = {0x01, 0x00, 'a', 0x00, 0x07, 0x01, 0x02, 10, 0, 0, 1};

TEST(TestServiceDirectory, RepliesAsConfiguredAndRecordsTheRequestFrame)
{
    const Bytes whole = concat({replyHeader, entryB, entryA, entryB});
    struct Case {
        const char* name;
        DirectoryBehaviour behaviour;
        Bytes expected; // the bytes on the wire
    };
    DirectoryBehaviour errorHeader;
    errorHeader.messageType = 4;
    errorHeader.status = 0x8001;
    DirectoryBehaviour cut;
    cut.cutInsideEntry = 1;
    DirectoryBehaviour oversize;
    oversize.shaping.lengthField = 100001;
    oversize.shaping.frameLimit = 4;
    DirectoryBehaviour raw;
    raw.rawBody = Bytes{1, 2, 3};
    DirectoryBehaviour trickle;
    trickle.shaping.trickleDelay = 1ms;
    DirectoryBehaviour countAndTrailer;
    countAndTrailer.entryCount = 0;
    countAndTrailer.trailer = {0xee};
    Bytes errorReply = whole;
    errorReply[3] = 0x04;
    errorReply[5] = 0x01;
    errorReply[6] = 0x80;
    Bytes zeroCount = concat({whole, {0xee}});
    zeroCount[12] = 0;
    const Case cases[] = {
        {"normal", {}, frameOf(whole)},
        {"header and status", errorHeader, frameOf(errorReply)},
        {"cut inside entry 1", cut, frameOf(concat({replyHeader, entryB, {0x01}}))},
        {"oversize length", oversize, {0xa1, 0x86, 0x01, 0x00}},
        {"raw body", raw, {7, 0, 0, 0, 1, 2, 3}},
        {"trickled", trickle, frameOf(whole)},
        {"entry count and trailer", countAndTrailer, frameOf(zeroCount)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DirectoryServer server({"127.0.0.1", 0}, listedEntries, c.behaviour);
        RawClient client(server);
        ASSERT_EQ(client.connectError, 0);
        client.send(frameOf(getDirectoryRequest));
        EXPECT_EQ(client.receive(c.expected.size() + 1, 100ms), c.expected);
        EXPECT_EQ(server.connectionCount(), 1u);
        ASSERT_EQ(server.requests().size(), 1u);
        EXPECT_EQ(server.requests()[0].size(), 57u);
        EXPECT_EQ(server.requests()[0], frameOf(getDirectoryRequest));
    }
}

TEST(TestServiceDirectory, RefusesClosesOrStallsOnRequest)
{
    using Mode = DirectoryBehaviour::Mode;
    {
        DirectoryServer server({"127.0.0.1", 0}, listedEntries,
                               with<DirectoryBehaviour>([](auto& b) { b.mode = Mode::refuse; }));
        EXPECT_NE(server.port(), 0);
        EXPECT_EQ(RawClient(server).connectError, ECONNREFUSED);
        EXPECT_THROW(server.setBehaviour({}), std::logic_error);
    }
    for (const Mode mode : {Mode::closeAtOnce, Mode::stall}) {
        DirectoryServer server({"127.0.0.1", 0}, listedEntries,
                               with<DirectoryBehaviour>([&](auto& b) { b.mode = mode; }));
        RawClient client(server);
        client.send(frameOf(getDirectoryRequest));
        EXPECT_TRUE(client.receive(1, 300ms).empty());
        EXPECT_EQ(client.peerClosed, mode == Mode::closeAtOnce);
        // The stalled connection is still open here; stopping must not wait on it.
    }
}

// ---- DBProxy

struct BnFree {
    void operator()(BIGNUM* bn) const { BN_free(bn); }
};
using Bn = std::unique_ptr<BIGNUM, BnFree>;

Bn bnOf(const Bytes& bytes)
{
    return Bn(BN_bin2bn(bytes.data(), int(bytes.size()), nullptr));
}

// The public key as a client sees it: parsed from the blob with OpenSSL's DER
// decoder, and re-encoded to prove the blob was minimal.
struct PublicKey {
    Bn p, q, g, y;
};

PublicKey parseBlob(const Bytes& blob)
{
    const unsigned char* in = blob.data();
    ASN1_SEQUENCE_ANY* items = d2i_ASN1_SEQUENCE_ANY(nullptr, &in, long(blob.size()));
    EXPECT_NE(items, nullptr);
    if (items == nullptr) {
        return {};
    }
    EXPECT_EQ(in, blob.data() + blob.size());
    unsigned char* again = nullptr;
    const int againLength = i2d_ASN1_SEQUENCE_ANY(items, &again);
    EXPECT_EQ(Bytes(again, again + againLength), blob);
    OPENSSL_free(again);
    EXPECT_EQ(sk_ASN1_TYPE_num(items), 4);
    Bn numbers[4];
    for (int i = 0; i < 4 && i < sk_ASN1_TYPE_num(items); ++i) {
        const ASN1_TYPE* item = sk_ASN1_TYPE_value(items, i);
        EXPECT_EQ(item->type, V_ASN1_INTEGER);
        numbers[i] = Bn(ASN1_INTEGER_to_BN(item->value.integer, nullptr));
    }
    sk_ASN1_TYPE_pop_free(items, ASN1_TYPE_free);
    return {std::move(numbers[0]), std::move(numbers[1]), std::move(numbers[2]),
            std::move(numbers[3])};
}

// Each block: L-1 bytes of zeros, the chunk, the chunk's length; tamper may
// change a block's layout before it is encrypted with textbook ElGamal.
Bytes encryptTo(const PublicKey& key, const Bytes& plaintext,
                const std::function<void(std::size_t, Bytes&)>& tamper = {})
{
    const std::size_t width = std::size_t(BN_num_bits(key.p.get()) / 8), perBlock = width - 3;
    const std::size_t blocks = (plaintext.size() + perBlock - 1) / perBlock;
    Bytes out{std::uint8_t(blocks), std::uint8_t(blocks >> 8), 0, 0};
    BN_CTX* ctx = BN_CTX_new();
    Bn k(BN_new()), a(BN_new()), b(BN_new()), m;
    for (std::size_t i = 0; i < blocks; ++i) {
        const std::size_t count = std::min(perBlock, plaintext.size() - i * perBlock);
        Bytes t(width - 1, 0);
        std::copy_n(plaintext.begin() + std::ptrdiff_t(i * perBlock), count,
                    t.begin() + std::ptrdiff_t(width - 2 - count));
        t[width - 2] = std::uint8_t(count);
        if (tamper) {
            tamper(i, t);
        }
        m = bnOf(t);
        BN_rand_range(k.get(), key.q.get());
        BN_mod_exp(a.get(), key.g.get(), k.get(), key.p.get(), ctx);
        BN_mod_exp(b.get(), key.y.get(), k.get(), key.p.get(), ctx);
        BN_mod_mul(b.get(), b.get(), m.get(), key.p.get(), ctx);
        for (const BIGNUM* number : {a.get(), b.get()}) {
            Bytes field(width);
            BN_bn2binpad(number, field.data(), int(width));
            out.insert(out.end(), field.begin(), field.end());
        }
    }
    BN_CTX_free(ctx);
    return out;
}

Bytes le16(std::size_t value)
{
    return {std::uint8_t(value), std::uint8_t(value >> 8)};
}

Bytes registrationMessage(const Bytes& ciphertext)
{
    return concat({{0x05, 0x00, 0x00, 0x02, 0x00, 0x11, 0x00, 0x00, 0x00},
                   le16(ciphertext.size()),
                   ciphertext});
}

Bytes recordFor(const std::string& text, std::uint8_t setting, Bytes flags)
{
    Bytes record = concat({{5, 1}, le16(text.size() + 1), Bytes(text.begin(), text.end()), {0}});
    record = concat({record, {2, 1, 0, setting}});
    for (std::uint8_t tag = 3; tag <= 5; ++tag) {
        record = concat({record, {tag, 1, 0, flags[tag - 3u]}});
    }
    return record;
}

const Bytes clientKey = {0x10, 0x32, 0x54, 0x76, 0x98, 0xba, 0xdc, 0xfe};

Bytes innerBlockFor(const Bytes& record)
{
    return concat({le16(8), clientKey, le16(record.size()), record});
}

// Blowfish-CBC decryption with the IV of eight 0xFF bytes; the length
// prefix is left in place.
Bytes blowfishDecrypt(const Bytes& key, const Bytes& cipher)
{
    BF_KEY schedule;
    BF_set_key(&schedule, int(key.size()), key.data());
    unsigned char iv[8] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
    Bytes plain(cipher.size());
    BF_cbc_encrypt(cipher.data(), plain.data(), long(cipher.size()), &schedule, iv, BF_DECRYPT);
    return plain;
}

TEST(TestServiceDBProxy, KeyBlobIsMinimalDerOfThePublishedSafePrimeGroups)
{
    for (const int bits : {1024, 1536, 2048}) {
        SCOPED_TRACE(bits);
        DBProxyServer server({"127.0.0.1", 0}, ElGamalKey::fromGroup(bits));
        RawClient client(server);
        client.send(frameOf({0x05, 0x00, 0x00, 0x01, 0x00}));
        const Bytes body = client.receiveBody();
        ASSERT_GE(body.size(), 2u);
        EXPECT_EQ(std::size_t(body[0] | body[1] << 8), body.size() - 2);
        const PublicKey key = parseBlob(Bytes(body.begin() + 2, body.end()));
        ASSERT_TRUE(key.y);
        EXPECT_EQ(BN_num_bits(key.p.get()), bits);
        EXPECT_EQ(BN_check_prime(key.p.get(), nullptr, nullptr), 1);
        Bn twiceQ(BN_dup(key.q.get()));
        BN_lshift1(twiceQ.get(), twiceQ.get());
        BN_add_word(twiceQ.get(), 1);
        EXPECT_EQ(BN_cmp(twiceQ.get(), key.p.get()), 0);
        EXPECT_TRUE(BN_is_word(key.g.get(), 2));
        Bn y(BN_new());
        BN_CTX* ctx = BN_CTX_new();
        BN_mod_exp(y.get(), key.g.get(), bnOf(server.key().x()).get(), key.p.get(), ctx);
        BN_CTX_free(ctx);
        EXPECT_EQ(BN_cmp(y.get(), key.y.get()), 0);
        EXPECT_EQ(server.keyRequestCount(), 1u);
    }
}

TEST(TestServiceDBProxy, DecodesTheRegistrationAndAnswersUnderTheClientKey)
{
    DBProxyServer server({"127.0.0.1", 0});
    const PublicKey key = parseBlob(server.key().derBlob());
    struct Case {
        std::string text;
        std::uint8_t setting;
        Bytes flags;
        Bytes result;
    };
    const Case cases[] = {
        {"a", 3, {1, 0, 1}, {'O', 'K'}},
        {"", 0, {0, 0, 0}, {}},
        {std::string(300, 'x'), 255, {1, 1, 1}, {0, 'z', 0, 0, 0, 0, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text.size());
        server.setBehaviour(with<DBProxyBehaviour>([&](auto& b) {
            b.databaseStatus = 5;
            b.result = c.result;
        }));
        const Bytes record = recordFor(c.text, c.setting, c.flags);
        RawClient client(server);
        client.send(frameOf(registrationMessage(encryptTo(key, innerBlockFor(record)))));
        const Bytes reply = client.receiveBody();

        const ReceivedRegistration got = server.registrations().back();
        EXPECT_TRUE(got.ok()) << (got.problems.empty() ? "" : got.problems[0]);
        EXPECT_EQ(got.symmetricKey, clientKey);
        EXPECT_EQ(got.record, record);
        EXPECT_EQ(got.text.size(), c.text.size() + 1);
        EXPECT_EQ(got.blockCount, (record.size() + 12 + 124) / 125);
        EXPECT_EQ(Bytes({got.setting, got.firstFlag, got.secondFlag, got.thirdFlag}),
                  concat({{c.setting}, c.flags}));

        ASSERT_GE(reply.size(), 4u);
        EXPECT_EQ(Bytes(reply.begin(), reply.begin() + 2), le16(0));
        const Bytes cipher(reply.begin() + 4, reply.end());
        EXPECT_EQ(std::size_t(reply[2] | reply[3] << 8), cipher.size());
        const Bytes message = concat({le16(5), le16(c.result.size()), c.result});
        EXPECT_EQ(cipher.size(), (message.size() + 4 + 7) / 8 * 8);
        const Bytes plain = blowfishDecrypt(clientKey, cipher);
        EXPECT_EQ(Bytes(plain.begin(), plain.begin() + 4), concat({le16(message.size()), le16(0)}));
        EXPECT_EQ(Bytes(plain.begin() + 4, plain.begin() + 4 + std::ptrdiff_t(message.size())),
                  message);
    }
    EXPECT_EQ(recordFor("a", 3, {1, 0, 1}),
              Bytes({0x05, 0x01, 0x02, 0x00, 0x61, 0x00, 0x02, 0x01, 0x00, 0x03, 0x03,
                     0x01, 0x00, 0x01, 0x04, 0x01, 0x00, 0x00, 0x05, 0x01, 0x00, 0x01}));
}

TEST(TestServiceDBProxy, ReportsEveryMalformedBlockLayout)
{
    const ElGamalKey privateKey = ElGamalKey::fromGroup(1024);
    const PublicKey key = parseBlob(privateKey.derBlob());
    const Bytes inner = innerBlockFor(recordFor(std::string(200, 'q'), 1, {0, 1, 0}));
    struct Case {
        const char* name;
        std::function<void(std::size_t, Bytes&)> tamper;
        bool ok;
    };
    const Case cases[] = {
        {"intact", {}, true},
        {"padding byte set", [](std::size_t i, Bytes& t) { t[0] = i == 1 ? 1 : 0; }, false},
        {"count too large", [](std::size_t, Bytes& t) { t.back() = 126; }, false},
        {"short first block", [](std::size_t i, Bytes& t) { t.back() = i == 0 ? 124 : t.back(); },
         false},
        {"zero count", [](std::size_t i, Bytes& t) { t.back() = i == 1 ? 0 : t.back(); }, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const ElGamalDecryption got = privateKey.decrypt(encryptTo(key, inner, c.tamper));
        EXPECT_EQ(got.problems.empty(), c.ok);
        EXPECT_EQ(got.blockCount, 2u);
        if (c.ok) {
            EXPECT_EQ(got.plaintext, inner);
        }
    }
    Bytes wrongCount = encryptTo(key, inner);
    wrongCount[0] = 3;
    EXPECT_FALSE(privateKey.decrypt(wrongCount).problems.empty());
    EXPECT_FALSE(privateKey.decrypt(Bytes{1, 0}).problems.empty());
}

TEST(TestServiceDBProxy, MisbehavesInTheReplyAsConfigured)
{
    using Cipher = DBProxyBehaviour::Cipher;
    DBProxyServer server({"127.0.0.1", 0});
    const PublicKey key = parseBlob(server.key().derBlob());
    const Bytes request =
        frameOf(registrationMessage(encryptTo(key, innerBlockFor(recordFor("a", 3, {1, 0, 1})))));
    auto replyTo = [&](const std::function<void(DBProxyBehaviour&)>& set) {
        server.setBehaviour(with<DBProxyBehaviour>(set));
        RawClient client(server);
        client.send(request);
        return client.receiveBody();
    };
    auto prefixOf = [](const Bytes& plain) {
        return plain[0] | plain[1] << 8 | plain[2] << 16 | std::uint32_t(plain[3]) << 24;
    };
    EXPECT_EQ(replyTo([](auto& b) { b.dbproxyStatus = 0x8001; }), Bytes({0x01, 0x80}));
    EXPECT_EQ(replyTo([](auto& b) { b.cipher = Cipher::empty; }), Bytes({0, 0, 0, 0}));
    EXPECT_EQ(replyTo([](auto& b) { b.cipher = Cipher::notMultipleOf8; }).size(), 4u + 15u);
    const Bytes wrong = replyTo([](auto& b) { b.cipher = Cipher::wrongKey; });
    // [length 6][status][length 2]["OK"] fills two blocks.
    ASSERT_EQ(wrong.size(), 4u + 16u);
    EXPECT_GT(prefixOf(blowfishDecrypt(clientKey, Bytes(wrong.begin() + 4, wrong.end()))), 8u);
    const Bytes prefixed = replyTo([](auto& b) { b.lengthPrefix = 13; });
    EXPECT_EQ(prefixOf(blowfishDecrypt(clientKey, Bytes(prefixed.begin() + 4, prefixed.end()))),
              13u);
    EXPECT_EQ(replyTo([](auto& b) { b.registrationReplyShaping.bodyLimit = 3; }),
              Bytes({0, 0, 16}));

    server.setBehaviour(with<DBProxyBehaviour>([](auto& b) { b.zeroModulus = true; }));
    RawClient client(server);
    client.send(frameOf({0x05, 0x00, 0x00, 0x01, 0x00}));
    const Bytes body = client.receiveBody();
    ASSERT_GE(body.size(), 2u);
    const PublicKey zero = parseBlob(Bytes(body.begin() + 2, body.end()));
    ASSERT_TRUE(zero.y);
    EXPECT_TRUE(BN_is_zero(zero.p.get()));
    EXPECT_EQ(BN_cmp(zero.y.get(), key.y.get()), 0);
}

TEST(TestServiceDBProxy, KeyFileKeepsTheKey)
{
    const ElGamalKey original = ElGamalKey::fromGroup(1536);
    const std::string path = ::testing::TempDir() + "test-service-key.txt";
    original.saveFile(path);
    const ElGamalKey loaded = ElGamalKey::fromFile(path);
    std::remove(path.c_str());
    EXPECT_EQ(loaded.derBlob(), original.derBlob());
    EXPECT_EQ(loaded.x(), original.x());
    EXPECT_THROW(ElGamalKey::fromFile(path), std::runtime_error);
}

} // namespace
