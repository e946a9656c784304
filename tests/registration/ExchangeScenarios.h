// Registration scenarios against the loopback test service, written once and
// driven two ways: in-process through the driver with ephemeral ports, and
// end to end through the exported functions of the built library.
#pragma once

#include "test-service/DBProxyServer.h"
#include "test-service/DirectoryServer.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace scenarios {

using testservice::Bytes;
using testservice::DBProxyServer;

inline const testservice::Endpoint loopback{"127.0.0.1", 0};

struct Call {
    std::string text = "a";
    std::int32_t setting = 3;
    std::int32_t flag1 = 1;
    std::int32_t flag2 = 0;
    std::int32_t flag3 = 1;
};

struct Outcome {
    std::int32_t code = -1;
    Bytes result;
    std::string log;
};

// How a scenario reaches the library. Calls may come from several threads.
class Driver {
  public:
    virtual ~Driver() = default;
    // Every directory server the library asks lists exactly these, in order.
    virtual void listEntries(const std::vector<testservice::DirectoryEntry>& entries) = 0;
    // Lists each server under its own address and port.
    void listDBProxies(const std::vector<const DBProxyServer*>& servers);
    virtual Outcome call(const Call& call) = 0;
    // The code alone, through the plain entry point.
    virtual std::int32_t callPlain(const Call& call) = 0;
    // Whether receive timeouts are short enough to wait out a stalled peer.
    virtual bool hasShortTimeouts() const = 0;
};

// The log lines of the directory lookup before the exchange begins.
std::vector<std::string> directoryLines();
std::vector<std::string> lines(const std::string& log);

// Two servers whose ports put the first ahead in the client's walk, since
// ephemeral ports come in no fixed order. Both sides draw again until the
// lowest first lies below the highest second: drawing seconds alone never
// ends when the first took a port at the top of the range, and each draw
// keeps a listening socket and a thread until the pair is found.
template <typename Server, typename MakeFirst, typename MakeSecond>
std::pair<std::unique_ptr<Server>, std::unique_ptr<Server>> inPortOrder(MakeFirst makeFirst,
                                                                        MakeSecond makeSecond)
{
    std::unique_ptr<Server> first = makeFirst();
    std::unique_ptr<Server> second = makeSecond();
    std::vector<std::unique_ptr<Server>> passedOver; // keeps their ports taken
    const auto keepBetter = [&](std::unique_ptr<Server>& kept, std::unique_ptr<Server> drawn,
                                bool lower) {
        if ((drawn->port() < kept->port()) == lower) {
            std::swap(kept, drawn);
        }
        passedOver.push_back(std::move(drawn));
    };
    while (second->port() < first->port()) {
        keepBetter(first, makeFirst(), true);
        keepBetter(second, makeSecond(), false);
    }
    return {std::move(first), std::move(second)};
}

struct Scenario {
    const char* name;
    void (*run)(Driver&);
};

inline void PrintTo(const Scenario& scenario, std::ostream* out)
{
    *out << scenario.name;
}

// Every scenario, for each driver to run.
const std::vector<Scenario>& allScenarios();

void everyFailureRowLogsItsLineAndGoesOnOrStops(Driver& driver);
void allDBProxiesFailing(Driver& driver);
void recordAndInnerBlockByteForByte(Driver& driver);
void recordFieldValues(Driver& driver);
void freshKeysForEveryAttempt(Driver& driver);
void keySizes(Driver& driver);
void textSpanningSeveralBlocks(Driver& driver);
void tooLargeRecord(Driver& driver);
void ciphertextLengthLimit(Driver& driver);
void zeroAddressEntry(Driver& driver);
// Eight threads of 25 calls each.
void concurrentCalls(Driver& driver);

} // namespace scenarios
