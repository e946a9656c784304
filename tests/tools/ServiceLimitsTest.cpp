// What a long-running service may hold: idle connections are closed, a
// connection beyond the limit is closed at once, nothing is recorded, and
// registrations go on meanwhile.
#include "LoopbackService.h"
#include "RegistrationFrame.h"

#include <arpa/inet.h>
#include <functional>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <netinet/in.h>
#include <optional>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace testservice;
using namespace std::chrono_literals;

// A client that connects and sends nothing, or, asked to, a public-key
// request now and then so that the idle timeout never ends it. It connects
// from the given loopback address, which stands for a client of its own.
class IdleClient {
  public:
    explicit IdleClient(const Server& server, const char* from = nullptr)
        : fd(::socket(AF_INET, SOCK_STREAM, 0))
    {
        if (from != nullptr) {
            sockaddr_in source{};
            source.sin_family = AF_INET;
            inet_pton(AF_INET, from, &source.sin_addr);
            ::bind(fd, reinterpret_cast<sockaddr*>(&source), sizeof source);
        }
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(server.port());
        inet_pton(AF_INET, server.address().c_str(), &address.sin_addr);
        connected = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~IdleClient() { ::close(fd); }
    IdleClient(const IdleClient&) = delete;
    IdleClient& operator=(const IdleClient&) = delete;

    // Whether the server closed the connection within the wait; replies
    // that came first are read and passed over.
    bool closedWithin(std::chrono::milliseconds wait) const
    {
        const auto deadline = std::chrono::steady_clock::now() + wait;
        char buffer[4096];
        for (;;) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd waiting{fd, POLLIN, 0};
            if (::poll(&waiting, 1,
                       static_cast<int>(std::max<decltype(left.count())>(left.count(), 0))) != 1) {
                return false;
            }
            if (::recv(fd, buffer, sizeof buffer, 0) <= 0) {
                return true;
            }
        }
    }

    // Sends the frame and reads the reply frame; nothing when the server
    // closed the connection instead.
    std::optional<Bytes> exchange(const Bytes& frame) const
    {
        if (::send(fd, frame.data(), frame.size(), MSG_NOSIGNAL) !=
            static_cast<ssize_t>(frame.size())) {
            return std::nullopt;
        }
        Bytes reply(4);
        if (::recv(fd, reply.data(), 4, MSG_WAITALL) != 4) {
            return std::nullopt;
        }
        reply.resize(reply[0] | reply[1] << 8 | reply[2] << 16);
        if (::recv(fd, reply.data() + 4, reply.size() - 4, MSG_WAITALL) !=
            static_cast<ssize_t>(reply.size() - 4)) {
            return std::nullopt;
        }
        return reply;
    }

    // Sends a 9-byte public-key request; false once the server has closed.
    bool sendKeyRequest() const
    {
        const std::uint8_t frame[] = {9, 0, 0, 0, 0x05, 0x00, 0x00, 0x01, 0x00};
        return ::send(fd, frame, sizeof frame, MSG_NOSIGNAL) == sizeof frame;
    }

    bool connected = false;

  private:
    int fd;
};

// Polls for a state the servers reach on their own threads.
void waitFor(const std::function<bool()>& reached)
{
    for (int attempt = 0; attempt < 200 && !reached(); ++attempt) {
        std::this_thread::sleep_for(50ms);
    }
}

ServerOptions serviceOptions(std::chrono::milliseconds idleTimeout)
{
    ServerOptions options;
    options.keepRecords = false;
    options.verbose = false;
    options.idleTimeout = idleTimeout;
    options.connectionLimit = std::make_shared<ConnectionLimit>(256);
    return options;
}

TEST(ServiceLimits, IdleConnectionsAreClosedWhileRegistrationsGoOn)
{
    // Long enough for the client to encrypt between its requests on a busy
    // machine: the timeout counts from each complete frame.
    const LoopbackService service({}, serviceOptions(3s));
    std::vector<std::unique_ptr<IdleClient>> idle;
    for (int i = 0; i < 200; ++i) {
        idle.push_back(std::make_unique<IdleClient>(service.dbproxy));
        ASSERT_TRUE(idle.back()->connected);
    }
    EXPECT_EQ(service.registerText("while 200 wait").code, 0);
    for (const auto& client : idle) {
        EXPECT_TRUE(client->closedWithin(10s));
    }
    EXPECT_EQ(service.registerText("after they left").code, 0);
    EXPECT_TRUE(service.dbproxy.requests().empty());
    EXPECT_TRUE(service.dbproxy.registrations().empty());
}

TEST(ServiceLimits, ConnectionBeyondTheLimitIsClosedAtOnce)
{
    const LoopbackService service({}, serviceOptions(60s));
    std::vector<std::unique_ptr<IdleClient>> open;
    // The directory's limit is the DBProxy's: one budget for the process.
    for (int i = 0; i < 256; ++i) {
        open.push_back(std::make_unique<IdleClient>(
            i % 2 == 0 ? static_cast<const Server&>(service.directory) : service.dbproxy));
        ASSERT_TRUE(open.back()->connected);
    }
    // A connect completes before the server accepts it, and either server
    // may accept first: the limit is full once both have taken theirs.
    waitFor([&] { return service.dbproxy.connectionLimit().openCount() == 256; });
    const IdleClient beyond(service.dbproxy);
    EXPECT_TRUE(beyond.closedWithin(10s));
    EXPECT_EQ(service.dbproxy.connectionLimit().refusedCount(), 1u);
    for (const auto& client : open) {
        EXPECT_FALSE(client->closedWithin(0ms));
    }
    open.clear();
    // Slots come back as the served connections end.
    waitFor([&] { return service.dbproxy.connectionLimit().openCount() == 0; });
    EXPECT_EQ(service.registerText("after the flood").code, 0);
}

TEST(ServiceLimits, ClientsHoldingConnectionsCannotKeepOthersOut)
{
    // Eight sockets from 127.0.0.2, each sending a key request every second,
    // as the hold probe did against a budget of 8.
    struct Row {
        const char* name;
        std::size_t perAddress;
        std::chrono::milliseconds lifetime; // 0: none
        std::size_t servedOfEight;
    };
    const Row rows[] = {
        {"four per address", 4, 0ms, 4},
        {"a lifetime of 3 s", 8, 3000ms, 8},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ServerOptions options = serviceOptions(60s);
        options.connectionLimit = std::make_shared<ConnectionLimit>(8, row.perAddress);
        options.connectionLifetime = row.lifetime;
        const LoopbackService service({}, options);
        std::vector<std::unique_ptr<IdleClient>> held;
        for (int i = 0; i < 8; ++i) {
            held.push_back(std::make_unique<IdleClient>(service.dbproxy, "127.0.0.2"));
            ASSERT_TRUE(held.back()->connected);
        }
        waitFor([&] {
            return service.dbproxy.connectionLimit().openCount() +
                       service.dbproxy.connectionLimit().refusedCount() ==
                   8;
        });
        EXPECT_EQ(service.dbproxy.connectionLimit().refusedOverAddress(), 8 - row.servedOfEight);
        // Kept alive past the lifetime; every held socket is closed within it
        // and a little more, and a client from another address gets through.
        for (int second = 0; second < 5; ++second) {
            for (const auto& client : held) {
                client->sendKeyRequest();
            }
            std::this_thread::sleep_for(1s);
        }
        if (row.lifetime.count() > 0) {
            for (const auto& client : held) {
                EXPECT_TRUE(client->closedWithin(0ms));
            }
        }
        EXPECT_EQ(service.registerText("from 127.0.0.1").code, 0);
    }
}

TEST(ServiceLimits, RegistrationRateCountsTheLastMinuteOfEachAddress)
{
    RegistrationRate rate(2);
    const auto start = RegistrationRate::Clock::now();
    struct Step {
        const char* address;
        int second;
        bool admitted;
    };
    const Step steps[] = {
        {"127.0.0.2", 0, true},   {"127.0.0.2", 10, true}, {"127.0.0.2", 59, false},
        {"127.0.0.3", 59, true},  {"127.0.0.2", 60, true}, // the first has left the minute
        {"127.0.0.2", 61, false}, {"127.0.0.2", 70, true},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(std::string(step.address) + " at " + std::to_string(step.second) + " s");
        EXPECT_EQ(rate.admit(step.address, start + std::chrono::seconds(step.second)),
                  step.admitted);
    }
    EXPECT_EQ(rate.refusedCount(), 2u);
}

TEST(ServiceLimits, RepeatedAndExcessRegistrationFramesAreNotDecrypted)
{
    // Frames as a flooding sender sends them: each encrypted once, then sent
    // again and again, every one on a connection of its own.
    struct Step {
        const char* from;
        char text;
        bool answered;
    };
    struct Row {
        const char* name;
        std::size_t perMinute;
        std::vector<Step> steps;
        std::size_t decrypted;
    };
    const Row rows[] = {
        {"a replay gets the first reply",
         60,
         {{"127.0.0.2", 'a', true}, {"127.0.0.2", 'a', true}},
         1},
        {"over the rate",
         2,
         {{"127.0.0.2", 'a', true}, {"127.0.0.2", 'b', true}, {"127.0.0.2", 'c', false}},
         2},
        {"replays count toward the rate",
         2,
         {{"127.0.0.2", 'a', true}, {"127.0.0.2", 'a', true}, {"127.0.0.2", 'a', false}},
         1},
        {"each address its own rate",
         1,
         {{"127.0.0.2", 'a', true}, {"127.0.0.3", 'b', true}, {"127.0.0.2", 'c', false}},
         2},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        DBProxyServices services;
        services.store = std::make_shared<RegistrationStore>(freshPath("flood.db"));
        services.rate = std::make_shared<RegistrationRate>(row.perMinute);
        services.replays = std::make_shared<ReplayCache>();
        services.metrics = std::make_shared<ServiceMetrics>();
        ServerOptions options;
        options.verbose = false;
        const DBProxyServer dbproxy({"127.0.0.1", 0}, ElGamalKey::fromGroup(1024), {}, {}, options,
                                    services);
        std::map<char, Bytes> frames;
        std::map<char, Bytes> firstReplies;
        std::size_t replays = 0;
        std::size_t unanswered = 0;
        for (const Step& step : row.steps) {
            if (!frames.contains(step.text)) {
                frames[step.text] = registrationFrame(dbproxy.key().derBlob(),
                                                      std::string(1, step.text), Bytes(8, 0x5a));
            }
            const std::optional<Bytes> reply =
                IdleClient(dbproxy, step.from).exchange(frames[step.text]);
            ASSERT_EQ(reply.has_value(), step.answered) << step.text;
            if (!reply) {
                ++unanswered;
            } else if (const auto first = firstReplies.find(step.text);
                       first != firstReplies.end()) {
                EXPECT_EQ(*reply, first->second) << step.text;
                ++replays;
            } else {
                firstReplies[step.text] = *reply;
            }
        }
        EXPECT_EQ(dbproxy.registrations().size(), row.decrypted);
        std::size_t stored = 0;
        services.store->forEach([&](const StoredRegistration&) { ++stored; });
        EXPECT_EQ(stored, row.decrypted);
        EXPECT_EQ(services.metrics->countOf(ServiceMetrics::Outcome::replay), replays);
        EXPECT_EQ(services.metrics->countOf(ServiceMetrics::Outcome::overRate), unanswered);
    }
}

} // namespace
