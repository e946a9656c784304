// The store in PostgreSQL, shared by service processes: the same rows and
// policy as SQLite, copies between the two, and what holds when several
// processes, a killed one or a restarted database are involved. Each test
// runs a PostgreSQL server of its own.
#include "LoopbackService.h"
#include "ThrowawayPostgres.h"
#include "test-service/RegistrationExport.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <sstream>

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

} // namespace
