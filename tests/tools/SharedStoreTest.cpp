// The store in PostgreSQL, shared by service processes: the same rows and
// policy as SQLite, copies between the two, and what holds when several
// processes, a killed one or a restarted database are involved. Each test
// runs a PostgreSQL server of its own.
#include "DirectRegistration.h"
#include "LoopbackService.h"
#include "ServiceProcess.h"
#include "ThrowawayPostgres.h"
#include "test-service/RegistrationExport.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <functional>
#include <gtest/gtest.h>
#include <httplib.h>
#include <libpq-fe.h>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>

namespace {

using namespace testservice;

// CI sets REGISTER_REQUIRE_POSTGRES: there, a machine without PostgreSQL
// fails these tests instead of skipping them.
#define START_POSTGRES(name)                                                                       \
    if (const std::string why = ThrowawayPostgres::unavailableBecause(); !why.empty()) {           \
        if (std::getenv("REGISTER_REQUIRE_POSTGRES") != nullptr) {                                 \
            FAIL() << why;                                                                         \
        }                                                                                          \
        GTEST_SKIP() << why;                                                                       \
    }                                                                                              \
    ThrowawayPostgres name

std::string exported(const RegistrationStore& store, ExportOptions::Format format)
{
    std::ostringstream out;
    exportRegistrations(store, format, out);
    return out.str();
}

void runSql(const std::string& uri, const char* sql)
{
    PGconn* connection = PQconnectdb(uri.c_str());
    PGresult* result = PQexec(connection, sql);
    EXPECT_EQ(PQresultStatus(result), PGRES_COMMAND_OK) << PQerrorMessage(connection);
    PQclear(result);
    PQfinish(connection);
}

TEST(SharedStore, MigrateBothWaysGivesIdenticalExports)
{
    START_POSTGRES(postgres);
    const std::string first = freshPath("migrate-first.db");
    const std::string back = freshPath("migrate-back.db");
    const std::string server = postgres.freshDatabase();
    {
        RegistrationStore store(first);
        // Texts and results with every kind of byte, a duplicate and a retry.
        const std::pair<std::string, bool> texts[] = {{std::string("ann\0\xff\"',\n", 10), false},
                                                      {"bob", false},
                                                      {"bob", true},
                                                      {"", false}};
        for (const auto& [text, retry] : texts) {
            StoredRegistration row{0,
                                   "2026-12-09T03:00:00.000Z",
                                   "127.0.0.1:4000",
                                   "127.0.0.1:7001",
                                   Bytes(text.begin(), text.end()),
                                   3,
                                   {1, 0, 1},
                                   0,
                                   {}};
            store.store(row, std::nullopt,
                        [&](const RegistrationStore::Precedent& precedent, std::int64_t id,
                            StoredRegistration& decided) {
                            decided.databaseStatus = precedent.textAccepted && !retry ? 1 : 0;
                            decided.retry = retry;
                            decided.result = {'#', static_cast<std::uint8_t>('0' + id), 0, 0x80};
                        });
        }
    }
    const RegistrationStore source(first, RegistrationStore::Access::readOnly);
    RegistrationStore shared(server);
    EXPECT_EQ(shared.importFrom(source), 4);
    RegistrationStore copiedBack(back);
    EXPECT_EQ(copiedBack.importFrom(shared), 4);
    for (const auto format : {ExportOptions::Format::csv, ExportOptions::Format::jsonl}) {
        const std::string original = exported(source, format);
        EXPECT_EQ(exported(shared, format), original);
        EXPECT_EQ(exported(copiedBack, format), original);
    }

    // A store that holds rows is never merged into.
    EXPECT_THROW(shared.importFrom(source), StoreError);
    // New rows are numbered on from the copied ones.
    const std::int64_t next =
        shared.store({0, "t", "c", "d", {'z'}, 0, {0, 0, 0}, 0, {}}, std::nullopt,
                     [](const RegistrationStore::Precedent&, std::int64_t, StoredRegistration&) {});
    EXPECT_EQ(next, 5);
}

TEST(SharedStore, PostgresRefusesDatabasesItDoesNotKnow)
{
    START_POSTGRES(postgres);
    struct Case {
        const char* sql; // run on a fresh database first
        RegistrationStore::Access access;
        const char* reason;
    };
    const Case cases[] = {
        {"CREATE TABLE users (name TEXT)", RegistrationStore::Access::readWrite,
         "not a registration database"},
        {"CREATE TABLE schema_version (version INTEGER); INSERT INTO schema_version VALUES (3)",
         RegistrationStore::Access::readWrite, "schema version 3"},
        {"SET search_path TO public", RegistrationStore::Access::readOnly, "no registrations"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reason);
        const std::string uri = postgres.freshDatabase();
        runSql(uri, c.sql);
        try {
            RegistrationStore store(uri, c.access);
            ADD_FAILURE() << "opened";
        } catch (const StoreError& error) {
            EXPECT_NE(std::string(error.what()).find(c.reason), std::string::npos) << error.what();
        }
    }
    // A server that is not there is a clear failure, not a hang.
    EXPECT_THROW(RegistrationStore("postgresql://register@127.0.0.1:1/none"), StoreError);
}

// One call as its client saw it.
struct Call {
    std::string text;
    int setting = 3;
    std::int32_t code = -1;
    std::string result;
    bool begunAfterDisruption = false;
};

// clients threads each making calls registrations, call(client, k) naming
// the text and setting and the directories to ask; between(done) runs on
// this thread while they work, with the number of calls made so far.
std::vector<Call> registerConcurrently(
    int clients, int calls,
    const std::function<Call(int client, int k, std::string& west, std::string& east)>& call,
    const std::function<void(const std::atomic<int>& done)>& between = {})
{
    std::vector<Call> made(static_cast<std::size_t>(clients * calls));
    std::atomic<int> done{0};
    std::vector<std::thread> threads;
    for (int client = 0; client < clients; ++client) {
        threads.emplace_back([&, client] {
            for (int k = 0; k < calls; ++k) {
                std::string west;
                std::string east;
                Call& one = made[static_cast<std::size_t>(client * calls + k)];
                one = call(client, k, west, east);
                RegistrationReport report;
                one.code =
                    runRegistrationWith(west.c_str(), east.c_str(),
                                        {one.text.c_str(), one.setting, 1, 0, 1, 0}, &report);
                one.result.assign(report.resultString.begin(), report.resultString.end());
                ++done;
            }
        });
    }
    if (between) {
        between(done);
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    return made;
}

std::map<std::int64_t, StoredRegistration> rowsOf(const std::string& uri)
{
    std::map<std::int64_t, StoredRegistration> rows;
    RegistrationStore(uri, RegistrationStore::Access::readOnly)
        .forEach([&](const StoredRegistration& row) { rows[row.id] = row; });
    return rows;
}

// The status of the service's GET /health.
int healthOf(const ServiceProcess& service)
{
    const std::string output = service.output();
    const auto from = output.find("serving metrics http://") + 23;
    httplib::Client client("http://" + output.substr(from, output.find("/metrics") - from));
    const auto response = client.Get("/health");
    return response ? response->status : -1;
}

std::string endpoint(int port)
{
    return "127.0.0.1:" + std::to_string(port);
}

// A service process on the shared database; its result is the row number.
std::unique_ptr<ServiceProcess> serviceOn(const std::string& uri, int directory, int dbproxy,
                                          const std::vector<int>& listed)
{
    std::vector<std::string> arguments = {"--directory",
                                          endpoint(directory),
                                          "--dbproxy",
                                          endpoint(dbproxy),
                                          "--database",
                                          uri,
                                          "--result",
                                          "{id}",
                                          "--registrations-per-minute",
                                          "0",
                                          "--metrics",
                                          "127.0.0.1:0"};
    for (const int port : listed) {
        arguments.insert(arguments.end(), {"--list", endpoint(port)});
    }
    return std::make_unique<ServiceProcess>(REGISTER_TEST_SERVICE_FILE, arguments);
}

TEST(SharedStore, TwoProcessesAcceptEachDistinctTextOnce)
{
    START_POSTGRES(postgres);
    const std::string uri = postgres.freshDatabase();
    const int ports[] = {freeLoopbackPort(), freeLoopbackPort(), freeLoopbackPort(),
                         freeLoopbackPort()};
    // Each directory lists its own process's DBProxy: half the clients go
    // through each process.
    const auto first = serviceOn(uri, ports[0], ports[1], {ports[1]});
    const auto second = serviceOn(uri, ports[2], ports[3], {ports[3]});
    const std::string directories[] = {endpoint(ports[0]), endpoint(ports[2])};

    // Clients 2j and 2j+1 go through different processes; one call in five
    // of each pair registers one text, with the same setting (a retry of the
    // other's) or, every other time, a setting of its own (a duplicate).
    const std::vector<Call> calls =
        registerConcurrently(8, 50, [&](int client, int k, std::string& west, std::string& east) {
            west = east = directories[client % 2];
            Call call;
            if (k % 5 == 0) {
                call.text = "shared-" + std::to_string(client / 2) + "-" + std::to_string(k);
                call.setting = k % 10 == 5 && client % 2 == 1 ? 4 : 3;
            } else {
                call.text = std::to_string(client) + "-" + std::to_string(k);
            }
            return call;
        });

    std::map<std::string, std::vector<StoredRegistration>> stored;
    const auto rows = rowsOf(uri);
    for (const auto& [id, row] : rows) {
        stored[std::string(row.text.begin(), row.text.end())].push_back(row);
    }
    EXPECT_EQ(rows.size(), calls.size());
    std::map<std::string, int> told; // codes 0 per text
    for (const Call& call : calls) {
        SCOPED_TRACE(call.text);
        ASSERT_TRUE(call.code == 0 || call.code == 4) << call.code;
        const auto& versions = stored[call.text];
        const auto accepted = std::count_if(versions.begin(), versions.end(), [](const auto& row) {
            return row.databaseStatus == 0 && !row.retry;
        });
        EXPECT_EQ(accepted, 1);
        if (call.code == 0) {
            ++told[call.text];
            // A retry is told the first registration's number.
            const auto original =
                std::find_if(versions.begin(), versions.end(),
                             [](const auto& row) { return row.databaseStatus == 0 && !row.retry; });
            ASSERT_NE(original, versions.end());
            EXPECT_EQ(call.result, std::to_string(original->id));
        }
    }
    std::size_t retries = 0;
    std::size_t duplicates = 0;
    for (const auto& [text, versions] : stored) {
        for (const StoredRegistration& row : versions) {
            retries += row.retry ? 1 : 0;
            duplicates += row.databaseStatus == 1 ? 1 : 0;
        }
        // Told "accepted" once per accepted row and once per retry.
        EXPECT_EQ(told[text], static_cast<int>(std::count_if(
                                  versions.begin(), versions.end(),
                                  [](const auto& row) { return row.databaseStatus == 0; })))
            << text;
    }
    EXPECT_EQ(retries, 20u);    // the pairs' texts of k = 0, 10, 20, 30, 40
    EXPECT_EQ(duplicates, 20u); // and of k = 5, 15, 25, 35, 45
}

TEST(SharedStore, AcknowledgedRegistrationsOutliveAKilledServiceAndARestartedDatabase)
{
    START_POSTGRES(postgres);
    struct Row {
        const char* name;
        std::function<void(ServiceProcess& first)> disrupt;
    };
    const Row rows[] = {
        {"kill -9 of one service", [](ServiceProcess& first) { first.killHard(); }},
        {"PostgreSQL restarted",
         [&](ServiceProcess& first) {
             postgres.stop();
             // Registrations are closed meanwhile, and a supervisor can tell.
             EXPECT_EQ(healthOf(first), 503);
             postgres.start();
             EXPECT_EQ(healthOf(first), 200);
         }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string uri = postgres.freshDatabase();
        // Both directories list both DBProxies, and a client tries them by
        // port: the first process's, while it lives, then the second's.
        int ports[] = {freeLoopbackPort(), freeLoopbackPort(), freeLoopbackPort(),
                       freeLoopbackPort()};
        std::sort(std::begin(ports), std::end(ports));
        const auto first = serviceOn(uri, ports[0], ports[1], {ports[1], ports[3]});
        const auto second = serviceOn(uri, ports[2], ports[3], {ports[1], ports[3]});
        std::atomic<bool> disrupted{false};
        const std::vector<Call> calls = registerConcurrently(
            8, 40,
            [&](int client, int k, std::string& west, std::string& east) {
                west = endpoint(ports[0]);
                east = endpoint(ports[2]);
                Call call;
                call.text = std::to_string(client) + "-" + std::to_string(k);
                call.begunAfterDisruption = disrupted;
                return call;
            },
            [&](const std::atomic<int>& done) {
                while (done < 100) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(10));
                }
                row.disrupt(*first);
                disrupted = true;
            });

        const auto stored = rowsOf(uri);
        std::size_t acknowledged = 0;
        std::size_t begunAfter = 0;
        for (const Call& call : calls) {
            begunAfter += call.begunAfterDisruption ? 1 : 0;
            // How many calls fail while the database is down depends only on
            // how fast they fail; once it is back, none may.
            EXPECT_TRUE(call.code == 0 || !call.begunAfterDisruption) << call.text;
            if (call.code != 0) {
                continue;
            }
            ++acknowledged;
            const auto found = stored.find(std::stoll(call.result));
            ASSERT_NE(found, stored.end()) << call.text << " told row " << call.result;
            EXPECT_EQ(std::string(found->second.text.begin(), found->second.text.end()), call.text);
            EXPECT_EQ(found->second.databaseStatus, 0);
        }
        // Every call made before the disruption, and the survivors reconnect
        // by themselves: registrations go on.
        EXPECT_GE(acknowledged, 100u);
        RegistrationReport report;
        EXPECT_EQ(runRegistrationWith(endpoint(ports[0]).c_str(), endpoint(ports[2]).c_str(),
                                      {"after", 3, 1, 0, 1, 0}, &report),
                  0);
        std::printf("[ %s ] %zu of %zu calls acknowledged (%zu begun after it), %zu rows stored\n",
                    row.name, acknowledged, calls.size(), begunAfter, stored.size());
    }
}

} // namespace
