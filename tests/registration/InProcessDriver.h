// The scenarios' driver that calls the registration as the exported
// functions do, in this process, against a directory server on an ephemeral
// port.
#pragma once

#include "registration/ExchangeScenarios.h"
#include "registration/RegistrationCall.h"

namespace scenarios {

class InProcessDriver : public Driver {
  public:
    // Receive timeouts short enough to wait out a stalled peer.
    static constexpr ExchangeTimeouts shortTimeouts{5000, 5000, 2500};

    explicit InProcessDriver(const ExchangeTimeouts& timeouts = shortTimeouts);

    void listEntries(const std::vector<testservice::DirectoryEntry>& entries) override;
    // An exception that leaves the driver gives code 1, as at the exports.
    Outcome call(const Call& call) override;
    std::int32_t callPlain(const Call& call) override;
    bool hasShortTimeouts() const override;

    void setTimeouts(const ExchangeTimeouts& timeouts) { callTimeouts = timeouts; }
    testservice::DirectoryServer& directory() { return directoryServer; }

  private:
    std::int32_t guarded(const Call& call, RegistrationReport* report);

    ExchangeTimeouts callTimeouts;
    testservice::DirectoryServer directoryServer{loopback, {}};
};

} // namespace scenarios
