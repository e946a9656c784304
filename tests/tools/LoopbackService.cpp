#include "LoopbackService.h"

#include "DirectRegistration.h"

#include <filesystem>
#include <gtest/gtest.h>

using namespace testservice;

std::string freshPath(const std::string& name)
{
    const std::string path = ::testing::TempDir() + name;
    for (const char* suffix : {"", "-wal", "-shm"}) {
        std::filesystem::remove(path + suffix);
    }
    return path;
}

namespace {

DBProxyServices keeping(std::shared_ptr<RegistrationStore> store,
                        std::shared_ptr<ServiceMetrics> metrics)
{
    DBProxyServices services;
    services.store = std::move(store);
    services.metrics = std::move(metrics);
    return services;
}

} // namespace

LoopbackService::LoopbackService(DBProxyBehaviour behaviour, ServerOptions options,
                                 std::shared_ptr<RegistrationStore> store, LogSink log,
                                 std::shared_ptr<ServiceMetrics> metrics)
    : dbproxy({"127.0.0.1", 0}, ElGamalKey::fromGroup(1024), std::move(behaviour), log, options,
              keeping(std::move(store), std::move(metrics))),
      directory({"127.0.0.1", 0}, {{"DBProxy", dbproxy.port(), "127.0.0.1"}}, {}, log, options)
{
}

Registered LoopbackService::registerText(const std::string& text) const
{
    const std::string endpoint = directory.endpointText();
    RegistrationReport report;
    Registered outcome;
    outcome.code = runRegistrationWith(endpoint.c_str(), endpoint.c_str(),
                                       {text.c_str(), 3, 1, 0, 1, 0}, &report);
    outcome.result.assign(report.resultString.begin(), report.resultString.end());
    return outcome;
}
