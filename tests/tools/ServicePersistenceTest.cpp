// What the service keeps across restarts: the registrations in its SQLite
// store under the duplicate policy and the result template, what export
// prints of them, and the key of --key-file.
#include "LoopbackService.h"
#include "test-service/RegistrationExport.h"
#include "test-service/ResultTemplate.h"

#include <atomic>
#include <gtest/gtest.h>
#include <map>
#include <regex>
#include <sqlite3.h>
#include <sstream>
#include <sys/stat.h>
#include <thread>

namespace {

using namespace testservice;

ServerOptions serviceOptions()
{
    ServerOptions options;
    options.keepRecords = false;
    options.verbose = false;
    return options;
}

TEST(ServicePersistence, StoreKeepsRegistrationsAcrossRestartsUnderThePolicy)
{
    const std::string path = freshPath("policy.db");
    struct Row {
        bool restartFirst;
        std::uint16_t duplicateStatus;
        std::string pattern;
        std::string text;
        std::int32_t code;
        std::uint16_t storedStatus; // ignored where nothing is stored
    };
    const std::string tooLong(0xffff, 'x');
    const Row rows[] = {
        {false, 1, "#{id} {text}", "ann@example.com", 0, 0},
        {false, 1, "#{id} {text}", "bob", 0, 0},
        {true, 1, "#{id} {text}", "ann@example.com", 4, 1}, // the restart kept ann
        {false, 0, "#{id} {text}", "bob", 0, 0},            // 0 accepts repeats
        {true, 7, "{id}", "bob", 4, 7},
        // A result that cannot fit the reply is refused, stored, with the
        // oversize status; 65,521 to 65,535 bytes sealed to a length of 0.
        {false, 1, tooLong + "{id}", "cyd", 4, 2},
        {false, 1, "{text}{text}{text}", std::string(21842, 'b'), 4, 2},
        {false, 1, "{text}{text}{text}", std::string(21840, 'a'), 0, 0}, // 65,520: fits
        {false, 1, "{text} {text}", "cyd", 0, 0},
    };
    auto store = std::make_shared<RegistrationStore>(path);
    std::vector<std::string> expected = {
        "id,time,client,dbproxy,text,setting,flag1,flag2,flag3,database_status,result"};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text.substr(0, 16) + " with " + row.pattern.substr(0, 16));
        if (row.restartFirst) {
            store.reset();
            store = std::make_shared<RegistrationStore>(path);
        }
        DBProxyBehaviour behaviour;
        behaviour.duplicateStatus = row.duplicateStatus;
        behaviour.result.assign(row.pattern.begin(), row.pattern.end());
        const LoopbackService service(behaviour, serviceOptions(), store);
        const Registered got = service.registerText(row.text);
        EXPECT_EQ(got.code, row.code);
        const std::string id = std::to_string(expected.size());
        const Bytes result =
            expandResult(behaviour.result, std::stoll(id), Bytes(row.text.begin(), row.text.end()));
        const std::string resultText(result.begin(), result.end());
        EXPECT_EQ(got.result, row.code == 0 ? resultText : "");
        const std::string storedResult = resultFitsReply(result.size()) ? resultText : "";
        expected.push_back(id + ",TIME,CLIENT," + service.dbproxy.endpointText() + ",\"" +
                           row.text + "\",3,1,0,1," + std::to_string(row.storedStatus) + ",\"" +
                           storedResult + "\"");
    }

    store.reset();
    std::ostringstream exported;
    exportRegistrations(RegistrationStore(path, RegistrationStore::Access::readOnly),
                        ExportOptions::Format::csv, exported);
    std::istringstream lines(exported.str());
    std::vector<std::string> got;
    for (std::string line; std::getline(lines, line);) {
        // Time and client port differ from run to run.
        got.push_back(
            line.find(",127.0.0.1:") == std::string::npos
                ? line
                : std::regex_replace(line, std::regex("^(\\d+),[^,]+,[^,]+,"), "$1,TIME,CLIENT,"));
    }
    EXPECT_EQ(got, expected);
}

TEST(ServicePersistence, StoreRefusesFilesItDoesNotKnow)
{
    struct Case {
        const char* sql; // run on a fresh file first; null: no file at all
        RegistrationStore::Access access;
        const char* reason;
    };
    const Case cases[] = {
        {nullptr, RegistrationStore::Access::readOnly, "cannot open"},
        {"CREATE TABLE users (name TEXT)", RegistrationStore::Access::readWrite,
         "not a registration database"},
        {"CREATE TABLE schema_version (version INTEGER); INSERT INTO schema_version VALUES (2)",
         RegistrationStore::Access::readWrite, "schema version 2"},
        {"PRAGMA user_version = 1", RegistrationStore::Access::readOnly, "no registrations"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reason);
        const std::string path = freshPath("foreign.db");
        if (c.sql != nullptr) {
            sqlite3* db = nullptr;
            ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
            EXPECT_EQ(sqlite3_exec(db, c.sql, nullptr, nullptr, nullptr), SQLITE_OK);
            sqlite3_close(db);
        }
        try {
            RegistrationStore store(path, c.access);
            ADD_FAILURE() << "opened";
        } catch (const StoreError& error) {
            EXPECT_NE(std::string(error.what()).find(c.reason), std::string::npos) << error.what();
        }
    }
}

TEST(ServicePersistence, EightClientsOfFiftyRegistrationsAreEachStoredOnce)
{
    auto store = std::make_shared<RegistrationStore>(freshPath("load.db"));
    const LoopbackService service({}, serviceOptions(), store);
    std::atomic<int> succeeded{0};
    std::vector<std::thread> clients;
    for (int client = 0; client < 8; ++client) {
        clients.emplace_back([&, client] {
            for (int call = 0; call < 50; ++call) {
                const std::string text = std::to_string(client) + "." + std::to_string(call);
                succeeded += service.registerText(text).code == 0 ? 1 : 0;
            }
        });
    }
    for (std::thread& client : clients) {
        client.join();
    }
    EXPECT_EQ(succeeded.load(), 400);
    std::map<std::string, int> stored;
    store->forEach([&](const StoredRegistration& row) {
        ++stored[std::string(row.text.begin(), row.text.end())];
        EXPECT_EQ(row.databaseStatus, 0);
    });
    EXPECT_EQ(stored.size(), 400u);
    for (const auto& [text, times] : stored) {
        EXPECT_EQ(times, 1) << text;
    }
}

TEST(ServicePersistence, KeyFileIsCreatedPrivateOnceAndReusedAfter)
{
    const std::string path = freshPath("service-key.txt");
    int made = 0;
    auto make = [&] {
        ++made;
        return ElGamalKey::fromGroup(1024);
    };
    bool created = false;
    const ElGamalKey first = ElGamalKey::fromFileOrCreate(path, make, created);
    EXPECT_TRUE(created);
    struct stat status {};
    ASSERT_EQ(::stat(path.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600u);
    const ElGamalKey again = ElGamalKey::fromFileOrCreate(path, make, created);
    EXPECT_FALSE(created);
    EXPECT_EQ(made, 1);
    EXPECT_EQ(again.x(), first.x());
    EXPECT_EQ(again.derBlob(), first.derBlob());
}

} // namespace
