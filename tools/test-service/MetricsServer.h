// The operator's view of a running service, over HTTP: GET /metrics in
// Prometheus' text format, and GET /health, 200 while the registrations can
// be stored and 503 with the reason while they cannot.
#pragma once

#include "test-service/Endpoint.h"

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

namespace httplib {
class Server;
}

namespace testservice {

class MetricsServer {
  public:
    using Exposition = std::function<std::string()>;
    // Why registrations cannot be stored now; nothing when they can.
    using HealthCheck = std::function<std::optional<std::string>()>;

    // Listens at once; throws std::runtime_error when it cannot.
    MetricsServer(const Endpoint& endpoint, Exposition metrics, HealthCheck health);
    ~MetricsServer();
    MetricsServer(const MetricsServer&) = delete;
    MetricsServer& operator=(const MetricsServer&) = delete;

    std::string endpointText() const; // "127.0.0.1:9464"

  private:
    std::unique_ptr<httplib::Server> server;
    std::string boundAddress;
    int boundPort = 0;
    std::atomic<bool> ended{false};
    std::thread serving;
};

} // namespace testservice
