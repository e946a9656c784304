// A directory and a DBProxy server on loopback, registered with by the
// library itself, as a client of the running service would.
#pragma once

#include "test-service/DBProxyServer.h"
#include "test-service/DirectoryServer.h"

#include <cstdint>
#include <memory>
#include <string>

// A path under the test folder with nothing left of an earlier run: no
// database, journal or key file.
std::string freshPath(const std::string& name);

struct Registered {
    std::int32_t code = -1;
    std::string result;
};

class LoopbackService {
  public:
    explicit LoopbackService(testservice::DBProxyBehaviour behaviour = {},
                             testservice::ServerOptions options = {},
                             std::shared_ptr<testservice::RegistrationStore> store = nullptr,
                             testservice::LogSink log = {},
                             std::shared_ptr<testservice::ServiceMetrics> metrics = nullptr);

    // Setting 3 and flags 1, 0, 1, as the tests of the exchange send them.
    Registered registerText(const std::string& text) const;

    testservice::DBProxyServer dbproxy;
    testservice::DirectoryServer directory;
};
