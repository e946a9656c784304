#pragma once

#include "common/ByteString.h"
#include "net/SocketAddress.h"
#include "net/SocketStatus.h"
#include "registration/CallFailure.h"
#include "registration/ProgressLog.h"

#include <cstdint>
#include <optional>
#include <set>
#include <string_view>

class CallControl;
class TimedSocket;
class WireBuffer;

// How long each step of a server exchange may block. The defaults are the
// service's; tests shorten them to drive stalled peers quickly.
struct ExchangeTimeouts {
    std::uint32_t connectMs = 20000;
    std::uint32_t sendMs = 5000;
    std::uint32_t receiveMs = 20000;
};

// Everything one registration attempt knows: the servers to try, the record
// to submit, the verdict and the log. Lives for exactly one call of the
// exported entry point and owns all of it by value; members are destroyed in
// reverse order, log first.
class RegistrationClient {
  public:
    RegistrationClient() = default;
    // Wipes the user's text and the service's answer.
    ~RegistrationClient();
    RegistrationClient(RegistrationClient&&) = default;
    RegistrationClient& operator=(RegistrationClient&&) = default;

    // Both walked in ascending SocketAddress order (port, then address), never
    // in insertion order; equal addresses collapse.
    std::set<SocketAddress> directoryServers;
    std::set<SocketAddress> dbProxyAddresses;
    // The caller's text with its terminating zero included.
    ByteString registrationText;
    // Only the low 8 bits travel.
    std::int32_t registrationSetting = 0;
    bool firstFlag = false;
    bool secondFlag = false;
    bool thirdFlag = false;
    ByteString resultString;
    ProgressLog progressLog;
    ExchangeTimeouts timeouts;
    // Cancel and deadline of the call, seen by every socket of the attempt
    // and between servers; none when null.
    const CallControl* control = nullptr;
    CallFailure failure;

    // Asks each directory server in turn for the given directory and fills
    // dbProxyAddresses; true once a server listed at least one DBProxy.
    bool getDBProxyAddresses(std::u16string_view directoryPath);
    // Submits the record to the DBProxies in turn; true when one accepted it,
    // with its answer in resultString.
    bool sendRegistration();

    void appendLog(std::string_view message);
    // Logs "Socket error: <name>" for any status but ES_NO_ERROR and returns
    // true then, meaning the current server has failed.
    bool logSocketError(SocketStatus status);
    // True once the call was cancelled or its deadline passed; the first
    // time, logs which and records it as the failure.
    bool interrupted();
    // Logs "Connecting to <ip>" and connects the socket, under the call's
    // control; false after a logged failure.
    bool connectTo(TimedSocket& socket, const SocketAddress& server);
    void fail(RegisterReason reason, std::int16_t serverStatus = 0);
    // Logs the text followed by the status as a signed number, and fails
    // with both: a server's error status ends the walk.
    void failWithServerStatus(std::string_view text, RegisterReason reason, std::uint16_t status);
    // One request and its reply on a connected socket, each step logged
    // first. The reply is a copy the parser owns; empty after a socket error,
    // which is logged as such.
    std::optional<WireBuffer> exchangeMessage(TimedSocket& socket, const WireBuffer& request,
                                              std::string_view sendingText,
                                              std::string_view receivingText);
};
