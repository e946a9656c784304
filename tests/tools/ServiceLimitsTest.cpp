// What a long-running service may hold: idle connections are closed, a
// connection beyond the limit is closed at once, nothing is recorded, and
// registrations go on meanwhile.
#include "LoopbackService.h"

#include <arpa/inet.h>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace testservice;
using namespace std::chrono_literals;

// A client that connects and sends nothing.
class IdleClient {
  public:
    explicit IdleClient(const Server& server) : fd(::socket(AF_INET, SOCK_STREAM, 0))
    {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(server.port());
        inet_pton(AF_INET, server.address().c_str(), &address.sin_addr);
        connected = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~IdleClient() { ::close(fd); }
    IdleClient(const IdleClient&) = delete;
    IdleClient& operator=(const IdleClient&) = delete;

    // Whether the server closed the connection within the wait.
    bool closedWithin(std::chrono::milliseconds wait) const
    {
        pollfd waiting{fd, POLLIN, 0};
        char byte = 0;
        return ::poll(&waiting, 1, static_cast<int>(wait.count())) == 1 &&
               ::recv(fd, &byte, 1, 0) <= 0;
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

} // namespace
