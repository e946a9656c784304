#include "test-service/MetricsServer.h"

#include <chrono>
#include <httplib.h>
#include <stdexcept>

namespace testservice {

MetricsServer::MetricsServer(const Endpoint& endpoint, Exposition metrics, HealthCheck health)
    : server(std::make_unique<httplib::Server>()), boundAddress(endpoint.address)
{
    // A scrape or a probe is one small GET; nobody is kept waiting long.
    server->set_read_timeout(std::chrono::seconds(5));
    server->set_write_timeout(std::chrono::seconds(5));
    server->set_keep_alive_max_count(16);
    server->set_payload_max_length(4096);
    server->Get("/metrics", [metrics](const httplib::Request&, httplib::Response& response) {
        response.set_content(metrics(), "text/plain; version=0.0.4; charset=utf-8");
    });
    server->Get("/health", [health](const httplib::Request&, httplib::Response& response) {
        const std::optional<std::string> trouble = health();
        response.status = trouble ? 503 : 200;
        response.set_content(trouble ? "unavailable: " + *trouble + "\n" : "ok\n",
                             "text/plain; charset=utf-8");
    });
    boundPort = endpoint.port == 0 ? server->bind_to_any_port(endpoint.address)
                : server->bind_to_port(endpoint.address, endpoint.port) ? endpoint.port
                                                                        : -1;
    if (boundPort < 0) {
        throw std::runtime_error("cannot listen on " + endpoint.address + ":" +
                                 std::to_string(endpoint.port) + " for --metrics");
    }
    serving = std::thread([this] {
        server->listen_after_bind();
        ended = true;
    });
    // stop() before the loop runs would be lost and the join would hang.
    while (!server->is_running() && !ended) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

MetricsServer::~MetricsServer()
{
    server->stop();
    serving.join();
}

std::string MetricsServer::endpointText() const
{
    return boundAddress + ":" + std::to_string(boundPort);
}

} // namespace testservice
