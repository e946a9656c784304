// A whole registration on real loopback sockets with an operating system
// whose cryptographic generator fails: this file stands in for the entropy
// part of the platform backend, so the linker takes these definitions
// instead of the real ones.

#include "DirectRegistration.h"
#include "platform/Platform.h"
#include "registration/ExchangeScenarios.h"

#include <gtest/gtest.h>

namespace Platform {
DiskFreeSpace currentDriveFreeSpace()
{
    return {};
}
std::uint64_t systemTimeAsFileTime()
{
    return 0x01DB000000000000;
}
bool systemRandom(std::uint8_t* buffer, std::size_t length)
{
    // Part of the bytes, then the failure: a pool must not count on them.
    for (std::size_t i = 0; i < length / 2; ++i) {
        buffer[i] = 0xA5;
    }
    return false;
}
} // namespace Platform

namespace {

TEST(FailingSystemGenerator, NothingReachesTheDBProxyAndTheCallIsAnInternalError)
{
    using namespace scenarios;
    DBProxyServer dbProxy(loopback);
    testservice::DirectoryServer directory(loopback, {{"DBProxy", dbProxy.port(), "127.0.0.1"}});
    RegistrationReport report;
    ExchangeTimeouts timeouts{2000, 2000, 2000};
    EXPECT_EQ(runRegistrationWith(directory.endpointText().c_str(),
                                  directory.endpointText().c_str(), {"a", 3, 1, 0, 1, 0}, &report,
                                  timeouts),
              REGISTER_RESULT_INTERNAL_ERROR);
    EXPECT_EQ(report.progressLog.substr(report.progressLog.find("Sending registration")),
              "Sending registration information.\nSystem random generator failed.\n");
    EXPECT_EQ(report.failure.reason, REGISTER_REASON_INTERNAL);
    EXPECT_EQ(dbProxy.connectionCount(), 0u);
}

} // namespace
