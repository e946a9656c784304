#include "test-service/ServiceMetrics.h"

#include <cstdio>

namespace testservice {

namespace {

// Seconds: a commit waits for an fsync (milliseconds) and at most the store
// timeout for another writer's lock (5 s by default).
constexpr double commitBounds[] = {0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1,
                                   0.25,  0.5,    1,     2.5,  5,     10};

constexpr const char* outcomeNames[ServiceMetrics::outcomeCount] = {
    "accepted", "duplicate",     "retry",  "refused",
    "oversize", "store_failure", "replay", "over_rate"};

std::string number(double value, const char* format = "%.17g")
{
    char text[32];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

void describe(std::string& out, const char* name, const char* type, const char* help)
{
    out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

} // namespace

ServiceMetrics::ServiceMetrics()
    : commitBuckets(std::size(commitBounds), 0),
      startedAt(std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
                    .count())
{
}

void ServiceMetrics::count(Outcome outcome)
{
    ++outcomes[static_cast<std::size_t>(outcome)];
}

std::uint64_t ServiceMetrics::countOf(Outcome outcome) const
{
    return outcomes[static_cast<std::size_t>(outcome)].load();
}

void ServiceMetrics::observeCommit(std::chrono::steady_clock::duration took)
{
    const double seconds = std::chrono::duration<double>(took).count();
    std::lock_guard lock(commitMutex);
    for (std::size_t i = 0; i < std::size(commitBounds); ++i) {
        if (seconds <= commitBounds[i]) {
            ++commitBuckets[i];
            break;
        }
    }
    commitSeconds += seconds;
    ++commits;
}

std::string ServiceMetrics::exposition(
    const std::vector<std::pair<std::string, const ConnectionLimit*>>& budgets) const
{
    std::string out;
    describe(out, "register_service_connections_accepted_total", "counter",
             "Connections accepted and served.");
    for (const auto& [server, budget] : budgets) {
        out += "register_service_connections_accepted_total{server=\"" + server + "\"} " +
               std::to_string(budget->acceptedCount()) + "\n";
    }
    describe(out, "register_service_connections_refused_total", "counter",
             "Connections closed at once: over the limit, over the limit per address, or "
             "for want of a thread.");
    for (const auto& [server, budget] : budgets) {
        const std::size_t overAddress = budget->refusedOverAddress();
        const std::pair<const char*, std::size_t> causes[] = {
            {"limit", budget->refusedCount() - overAddress},
            {"address", overAddress},
            {"thread", budget->refusedForWantOfThread()}};
        for (const auto& [cause, count] : causes) {
            out += "register_service_connections_refused_total{server=\"" + server + "\",cause=\"" +
                   cause + "\"} " + std::to_string(count) + "\n";
        }
    }
    describe(out, "register_service_open_connections", "gauge", "Connections being served.");
    for (const auto& [server, budget] : budgets) {
        out += "register_service_open_connections{server=\"" + server + "\"} " +
               std::to_string(budget->openCount()) + "\n";
    }
    describe(out, "register_service_registrations_total", "counter",
             "Registration messages by what became of them.");
    for (std::size_t i = 0; i < outcomeCount; ++i) {
        out += std::string("register_service_registrations_total{outcome=\"") + outcomeNames[i] +
               "\"} " + std::to_string(outcomes[i].load()) + "\n";
    }
    describe(out, "register_service_store_commit_seconds", "histogram",
             "Time to write one registration, waiting for the write lock included.");
    {
        std::lock_guard lock(commitMutex);
        std::uint64_t cumulative = 0;
        for (std::size_t i = 0; i < std::size(commitBounds); ++i) {
            cumulative += commitBuckets[i];
            out += "register_service_store_commit_seconds_bucket{le=\"" +
                   number(commitBounds[i], "%g") + "\"} " + std::to_string(cumulative) + "\n";
        }
        out += "register_service_store_commit_seconds_bucket{le=\"+Inf\"} " +
               std::to_string(commits) + "\n";
        out += "register_service_store_commit_seconds_sum " + number(commitSeconds) + "\n";
        out += "register_service_store_commit_seconds_count " + std::to_string(commits) + "\n";
    }
    describe(out, "process_start_time_seconds", "gauge",
             "Start time of the process since the Unix epoch in seconds.");
    out += "process_start_time_seconds " + number(startedAt) + "\n";
    return out;
}

} // namespace testservice
