#include "net/SocketLibrary.h"
#include "registration/ExchangeScenarios.h"
#include "registration/InProcessDriver.h"
#include "registration/RegistrationCall.h"
#include "registration/RegistrationClient.h"

#include <gtest/gtest.h>

namespace {

using namespace scenarios;

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
