// What an operator sees and sets: the addresses the directory lists for a
// service bound to every interface, and log lines that name the time and the
// client and keep the user's text and session key out unless verbose.
#include "LoopbackService.h"
#include "test-service/MetricsServer.h"
#include "test-service/ServiceOptions.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <mutex>
#include <regex>
#include <sqlite3.h>

namespace {

using namespace testservice;

TEST(ServiceOperator, WildcardDBProxyIsListedUnderTheAdvertisedAddressOrRefused)
{
    struct Case {
        std::vector<std::string> args;
        const char* listed; // null: the command line is refused
    };
    const Case cases[] = {
        {{"--directory", "0.0.0.0:6003", "--dbproxy", "0.0.0.0:7001"}, nullptr},
        {{"--directory", "0.0.0.0:6003", "--dbproxy", "0.0.0.0:7001", "--advertise",
          "192.168.1.20"},
         "192.168.1.20"},
        {{"--directory", "127.0.0.1:6003", "--dbproxy", "127.0.0.1:7001", "--advertise",
          "192.168.1.20"},
         "127.0.0.1"},
        {{"--dbproxy", "0.0.0.0:7001", "--advertise", "0.0.0.0"}, nullptr},
        // A listed entry is the operator's own choice, 0.0.0.0 included.
        {{"--directory", "127.0.0.1:6003", "--dbproxy", "0.0.0.0:7001", "--list", "0.0.0.0:7001"},
         "0.0.0.0"},
        // A result whose reply cannot fit even for an empty text.
        {{"--dbproxy", "127.0.0.1:7001", "--result", std::string(65521, 'r')}, nullptr},
        {{"--dbproxy", "127.0.0.1:7001", "--result", std::string(65520, 'r') + "{id}"}, nullptr},
        {{"--dbproxy", "127.0.0.1:7001", "--result", std::string(65520, 'r')}, "127.0.0.1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.back().substr(0, 40));
        if (c.listed == nullptr) {
            EXPECT_THROW(parseServiceOptions(c.args), std::invalid_argument);
            continue;
        }
        const ServiceOptions options = *parseServiceOptions(c.args);
        const std::vector<DirectoryEntry> listed =
            options.listGiven ? options.listed : defaultListing(options, options.dbproxies);
        ASSERT_EQ(listed.size(), 1u);
        EXPECT_EQ(listed[0].address, c.listed);
        EXPECT_EQ(listed[0].port, 7001);
    }
}

TEST(ServiceOperator, LogLinesNameTimeAndClientAndShowTheTextOnlyWhenVerbose)
{
    const std::regex prefix(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z 127\.0\.0\.1:\d+ )"
                            R"((directory|dbproxy) 127\.0\.0\.1:\d+: )");
    for (const bool verbose : {false, true}) {
        SCOPED_TRACE(verbose ? "verbose" : "quiet");
        std::mutex guard;
        std::vector<std::string> lines;
        ServerOptions options;
        options.verbose = verbose;
        DBProxyBehaviour behaviour;
        const std::string pattern = "welcome {text}";
        behaviour.result.assign(pattern.begin(), pattern.end());
        auto store = std::make_shared<RegistrationStore>(freshPath("log.db"));
        {
            const LoopbackService service(behaviour, options, store, [&](const std::string& line) {
                std::lock_guard lock(guard);
                lines.push_back(line);
            });
            ASSERT_EQ(service.registerText("private@example.com").code, 0);
        }
        ASSERT_GE(lines.size(), 6u);
        bool keyShown = false;
        bool textShown = false;
        for (const std::string& line : lines) {
            EXPECT_TRUE(std::regex_search(line, prefix)) << line;
            keyShown = keyShown || line.find("symmetric key") != std::string::npos;
            textShown = textShown || line.find("private@") != std::string::npos;
        }
        EXPECT_EQ(keyShown, verbose);
        EXPECT_EQ(textShown, verbose);
    }
}

TEST(ServiceOperator, MetricsCountKnownRegistrationsAndHealthFollowsTheStore)
{
    const std::string path = freshPath("metrics.db");
    auto store = std::make_shared<RegistrationStore>(path, RegistrationStore::Access::readWrite,
                                                     std::chrono::milliseconds(300));
    auto metrics = std::make_shared<ServiceMetrics>();
    DBProxyBehaviour behaviour;
    behaviour.retryWindow = std::chrono::milliseconds(0); // a repeat is a duplicate
    const LoopbackService service(behaviour, {}, store, {}, metrics);
    const MetricsServer http(
        {"127.0.0.1", 0},
        [&] {
            return metrics->exposition({{"dbproxy", &service.dbproxy.connectionLimit()}});
        },
        [&] { return store->whyNotWritable(); });
    httplib::Client client("http://" + http.endpointText());

    // Another process holding the write lock past the store's wait makes
    // the store unhealthy and the registration a store failure.
    struct Step {
        const char* text;
        bool lockHeld;
        std::int32_t code;
        int health;
    };
    const Step steps[] = {
        {"ann", false, 0, 200},
        {"ann", false, 4, 200},
        {"bob", true, 4, 503},
        {"bob", false, 0, 200},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(std::string(step.text) + (step.lockHeld ? " while locked" : ""));
        sqlite3* other = nullptr;
        if (step.lockHeld) {
            ASSERT_EQ(sqlite3_open(path.c_str(), &other), SQLITE_OK);
            ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
        }
        EXPECT_EQ(service.registerText(step.text).code, step.code);
        const auto health = client.Get("/health");
        ASSERT_TRUE(health);
        EXPECT_EQ(health->status, step.health) << health->body;
        if (other != nullptr) {
            sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
            sqlite3_close(other);
        }
    }

    const auto scraped = client.Get("/metrics");
    ASSERT_TRUE(scraped);
    EXPECT_EQ(scraped->status, 200);
    for (const char* line : {
             R"(register_service_registrations_total{outcome="accepted"} 2)",
             R"(register_service_registrations_total{outcome="duplicate"} 1)",
             R"(register_service_registrations_total{outcome="store_failure"} 1)",
             R"(register_service_registrations_total{outcome="retry"} 0)",
             R"(register_service_store_commit_seconds_count 3)",
             R"(register_service_connections_accepted_total{server="dbproxy"} 4)",
             R"(register_service_store_commit_seconds_bucket{le="+Inf"} 3)",
         }) {
        EXPECT_NE(scraped->body.find(std::string(line) + "\n"), std::string::npos) << line;
    }
}

} // namespace
