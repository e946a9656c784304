// How many connections a group of servers serves at once, in all and from
// one client address. A connection beyond either limit is closed as soon as
// it is accepted, so that a flood of clients costs the service one accept
// each rather than a thread each, and a few idle clients from one address
// cannot hold every slot.
#pragma once

#include <cstddef>
#include <limits>
#include <map>
#include <mutex>
#include <string>

namespace testservice {

inline constexpr std::size_t defaultMaxConnections = 256;
inline constexpr std::size_t defaultMaxConnectionsPerAddress = 16;
inline constexpr std::size_t unlimitedConnections = std::numeric_limits<std::size_t>::max();

class ConnectionLimit {
  public:
    enum class Refusal { none, overTotal, overAddress };

    explicit ConnectionLimit(std::size_t maximum = defaultMaxConnections,
                             std::size_t perAddress = unlimitedConnections)
        : most(maximum), mostPerAddress(perAddress)
    {
    }

    // A slot for a connection from the address, or why there is none; each
    // refusal is counted by its cause.
    Refusal tryTake(const std::string& address)
    {
        std::lock_guard lock(mutex);
        if (open >= most) {
            ++overTotal;
            return Refusal::overTotal;
        }
        std::size_t& fromAddress = openByAddress[address];
        if (fromAddress >= mostPerAddress) {
            ++overAddress;
            return Refusal::overAddress;
        }
        ++fromAddress;
        ++open;
        ++accepted;
        return Refusal::none;
    }
    // A slot taken for a connection that got no thread to serve it: given
    // back, and the connection counted as refused for want of one.
    void giveBackUnserved(const std::string& address)
    {
        giveBack(address);
        std::lock_guard lock(mutex);
        --accepted;
        ++noThread;
    }
    void giveBack(const std::string& address)
    {
        std::lock_guard lock(mutex);
        --open;
        const auto entry = openByAddress.find(address);
        if (entry != openByAddress.end() && --entry->second == 0) {
            openByAddress.erase(entry);
        }
    }

    std::size_t maximum() const { return most; }
    std::size_t maximumPerAddress() const { return mostPerAddress; }
    std::size_t openCount() const
    {
        std::lock_guard lock(mutex);
        return open;
    }
    std::size_t acceptedCount() const
    {
        std::lock_guard lock(mutex);
        return accepted;
    }
    // Refusals over either limit.
    std::size_t refusedCount() const
    {
        std::lock_guard lock(mutex);
        return overTotal + overAddress;
    }
    std::size_t refusedForWantOfThread() const
    {
        std::lock_guard lock(mutex);
        return noThread;
    }
    std::size_t refusedOverAddress() const
    {
        std::lock_guard lock(mutex);
        return overAddress;
    }

  private:
    const std::size_t most;
    const std::size_t mostPerAddress;
    mutable std::mutex mutex;
    std::size_t open = 0;
    std::map<std::string, std::size_t> openByAddress;
    std::size_t overTotal = 0;
    std::size_t overAddress = 0;
    std::size_t accepted = 0;
    std::size_t noThread = 0;
};

} // namespace testservice
