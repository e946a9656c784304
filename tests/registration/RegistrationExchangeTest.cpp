#include "net/SocketLibrary.h"
#include "registration/ExchangeScenarios.h"
#include "registration/RegistrationClient.h"
#include "registration/RunRegistration.h"

#include <gtest/gtest.h>

namespace {

using namespace scenarios;
using testservice::DirectoryEntry;
using testservice::DirectoryServer;

// Calls the driver as the exported functions do, against a directory server
// on an ephemeral port, with receive timeouts short enough to wait out a
// stalled peer.
class InProcessDriver : public Driver {
  public:
    void listEntries(const std::vector<DirectoryEntry>& entries) override
    {
        directory.setEntries(entries);
    }

    Outcome call(const Call& call) override
    {
        Outcome outcome;
        RegistrationReport report;
        outcome.code = guarded(call, &report);
        outcome.result.assign(report.resultString.begin(), report.resultString.end());
        outcome.log = report.progressLog;
        return outcome;
    }

    std::int32_t callPlain(const Call& call) override { return guarded(call, nullptr); }

    bool hasShortTimeouts() const override { return true; }

  private:
    std::int32_t guarded(const Call& call, RegistrationReport* report)
    {
        const std::string endpoint = directory.endpointText();
        try {
            return runRegistrationWith(
                endpoint.c_str(), endpoint.c_str(),
                {call.text.c_str(), call.setting, call.flag1, call.flag2, call.flag3, 0}, report,
                {5000, 5000, 2500});
        } catch (...) {
            return registrationInternalError;
        }
    }

    DirectoryServer directory{loopback, {}};
};

struct Exchange : ::testing::TestWithParam<Scenario> {
    InProcessDriver driver;
};

TEST_P(Exchange, Runs)
{
    GetParam().run(driver);
}

INSTANTIATE_TEST_SUITE_P(Scenarios, Exchange, ::testing::ValuesIn(allScenarios()),
                         [](const auto& tested) { return std::string(tested.param.name); });

TEST(ExchangeWithoutServers, EmptyDBProxySetFailsAfterTwoLines)
{
    startSockets();
    RegistrationClient client;
    EXPECT_FALSE(client.sendRegistration());
    EXPECT_EQ(client.progressLog.text(),
              "Sending registration information.\nFailed all DBProxy servers.\n");
    stopSockets();
}

} // namespace
