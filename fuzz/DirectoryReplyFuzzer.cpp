// The directory lookup reading a reply body chosen by the fuzzer: the real
// getDBProxyAddresses asks an in-process directory server on loopback, which
// answers with the input as the body of one well-formed frame. The outcome,
// the log and the DBProxy set are compared with a reading of the same bytes
// made here from the message layout alone.

#include "FuzzSupport.h"
#include "net/TimedSocket.h"
#include "registration/RegistrationClient.h"
#include "test-service/DirectoryServer.h"

#include <array>
#include <cstdint>
#include <memory>
#include <set>
#include <string>

namespace {

using fuzzsupport::exchangeTimeoutMs;
using Record = std::array<std::uint8_t, 16>;

struct ShortReply {};

class Cursor {
  public:
    Cursor(const std::uint8_t* bytes, std::size_t length) : data(bytes), size(length) {}
    const std::uint8_t* take(std::size_t count)
    {
        if (count > size - at) {
            throw ShortReply{};
        }
        at += count;
        return data + at - count;
    }
    unsigned u8() { return *take(1); }
    unsigned u16()
    {
        const std::uint8_t* p = take(2);
        return p[0] + 256u * p[1];
    }

  private:
    const std::uint8_t* data;
    std::size_t size;
    std::size_t at = 0;
};

int asSigned(unsigned value, unsigned bits)
{
    const unsigned top = 1u << (bits - 1);
    return value >= top ? static_cast<int>(value) - static_cast<int>(2 * top)
                        : static_cast<int>(value);
}

struct Expected {
    bool listed = false;
    std::string lines; // after "Receiving directory reply."
    std::set<Record> addresses;
};

Expected expect(const std::uint8_t* data, std::size_t size)
{
    Expected out;
    Cursor reply(data, size);
    try {
        const unsigned header = reply.u8();
        const unsigned service = reply.u16();
        const unsigned message = reply.u16();
        if (header != 5 || service != 2 || message != 3) {
            out.lines =
                "Invalid directory reply.  Header Type: " + std::to_string(asSigned(header, 8)) +
                "  Service Type: " + std::to_string(asSigned(service, 16)) +
                "  Message Type: " + std::to_string(asSigned(message, 16)) +
                "\nFailed all directory servers.\n";
            return out;
        }
        const unsigned status = reply.u16();
        if (status & 0x8000u) {
            out.lines = "Directory Server Error: " + std::to_string(asSigned(status, 16)) + "\n";
            return out;
        }
        reply.take(5);
        const unsigned count = reply.u16();
        if (count == 0) {
            out.lines = "No DBProxy server listed in directory server.\n";
            return out;
        }
        for (unsigned i = 0; i < count; ++i) {
            reply.take(2 * reply.u16() + 1);
            const std::uint8_t* port = reply.take(2);
            const std::uint8_t* address = reply.take(4);
            out.addresses.insert(
                Record{2, 0, port[0], port[1], address[0], address[1], address[2], address[3]});
        }
        out.listed = true;
    } catch (const ShortReply&) {
        out.lines = "Invalid directory reply.  Unpack failed.\nFailed all directory servers.\n";
    }
    return out;
}

struct Fixture {
    Fixture()
    {
        fuzzsupport::startSocketsOnce();
        server = std::make_unique<testservice::DirectoryServer>(
            testservice::Endpoint{"127.0.0.1", 0}, std::vector<testservice::DirectoryEntry>{});
        SocketAddress address;
        address.parse(server->endpointText().c_str());
        serverAddress = address;
    }
    std::unique_ptr<testservice::DirectoryServer> server;
    SocketAddress serverAddress;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static Fixture fixture;
    if (size > TimedSocket::maxFrameLength - 4) {
        return 0;
    }
    testservice::DirectoryBehaviour behaviour;
    behaviour.rawBody = testservice::Bytes(data, data + size);
    fixture.server->setBehaviour(behaviour);

    RegistrationClient client;
    client.timeouts = {exchangeTimeoutMs, exchangeTimeoutMs, exchangeTimeoutMs};
    client.directoryServers.insert(fixture.serverAddress);
    const bool listed = client.getDBProxyAddresses(u"/Emberfall/Register");

    const Expected expected = expect(data, size);
    fuzzsupport::checkSameText("Getting DBProxy Addrs\nConnecting to 127.0.0.1\n"
                               "Sending get directory request.\nReceiving directory reply.\n" +
                                   expected.lines,
                               client.progressLog.text(), "directory lookup log");
    FUZZ_CHECK(listed == expected.listed);
    // Entries read before a reply turned out short stay in the set.
    std::set<Record> got;
    for (const SocketAddress& address : client.dbProxyAddresses) {
        FUZZ_CHECK(address.isValid());
        got.insert(address.record());
    }
    FUZZ_CHECK(got == expected.addresses);
    return 0;
}
