// What the service keeps across restarts: the registrations in its SQLite
// store under the duplicate policy and the result template, what export
// prints of them, and the key of --key-file.
#include "LoopbackService.h"
#include "test-service/RegistrationExport.h"
#include "test-service/ResultTemplate.h"

#include <atomic>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <map>
#include <regex>
#include <sqlite3.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

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
        std::string cell = "";      // the text's CSV cell when not the text itself
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
        {false, 1, std::string(65500, 'r') + "{text}", std::string(22, 'b'), 4, 2},
        {false, 1, std::string(65500, 'r') + "{text}", std::string(20, 'a'), 0, 0}, // 65,520 fits
        {false, 1, "{text} {text}", "cyd", 0, 0},
        // Cells a spreadsheet would run as formulas are shown as text.
        {false, 1, "ok", "=HYPERLINK(\"x\")", 0, 0, "'=HYPERLINK(\"\"x\"\")"},
        {false, 1, "ok", "@SUM(1,2)", 0, 0, "'@SUM(1,2)"},
        {false, 1, "ok", "-2+3", 0, 0, "'-2+3"},
    };
    auto store = std::make_shared<RegistrationStore>(path);
    std::vector<std::string> expected = {
        "id,time,client,dbproxy,text,setting,flag1,flag2,flag3,database_status,result,retry"};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text.substr(0, 16) + " with " + row.pattern.substr(0, 16));
        if (row.restartFirst) {
            store.reset();
            store = std::make_shared<RegistrationStore>(path);
        }
        DBProxyBehaviour behaviour;
        behaviour.duplicateStatus = row.duplicateStatus;
        behaviour.retryWindow = std::chrono::milliseconds(0); // the policy alone
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
                           (row.cell.empty() ? row.text : row.cell) + "\",3,1,0,1," +
                           std::to_string(row.storedStatus) + ",\"" + storedResult + "\",0");
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
        {"CREATE TABLE schema_version (version INTEGER); INSERT INTO schema_version VALUES (3)",
         RegistrationStore::Access::readWrite, "schema version 3"},
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

TEST(ServicePersistence, ARetryWithinTheWindowGetsTheOriginalAnswerAndIsStoredAsARetry)
{
    struct Row {
        const char* name;
        std::chrono::milliseconds window;
        std::int32_t code;      // of the repeat
        std::uint16_t storedAs; // its database status
        bool retry;
    };
    const Row rows[] = {
        {"within the window", std::chrono::milliseconds(600000), 0, 0, true},
        {"window off", std::chrono::milliseconds(0), 4, 1, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        auto store = std::make_shared<RegistrationStore>(freshPath("retry.db"));
        DBProxyBehaviour behaviour;
        behaviour.retryWindow = row.window;
        const std::string pattern = "welcome #{id}";
        behaviour.result.assign(pattern.begin(), pattern.end());
        const LoopbackService service(behaviour, serviceOptions(), store);
        EXPECT_EQ(service.registerText("ann").result, "welcome #1");
        const Registered repeat = service.registerText("ann");
        EXPECT_EQ(repeat.code, row.code);
        EXPECT_EQ(repeat.result, row.code == 0 ? "welcome #1" : "");
        std::vector<StoredRegistration> stored;
        store->forEach([&](const StoredRegistration& got) { stored.push_back(got); });
        ASSERT_EQ(stored.size(), 2u);
        EXPECT_EQ(stored[1].databaseStatus, row.storedAs);
        EXPECT_EQ(stored[1].retry, row.retry);
    }
}

TEST(ServicePersistence, WriteLockHeldPastTheStoreTimeoutLeavesNoRowAndTheRetryRegisters)
{
    // Another process holds the write lock longer than the store waits: the
    // registration gets no reply and no row, so the client's retry is
    // accepted instead of being told its text is a duplicate.
    const std::string path = freshPath("locked.db");
    auto store = std::make_shared<RegistrationStore>(path, RegistrationStore::Access::readWrite,
                                                     std::chrono::milliseconds(300));
    const LoopbackService service(DBProxyBehaviour{}, serviceOptions(), store);
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    EXPECT_EQ(service.registerText("ann").code, 4);
    sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(other);
    EXPECT_EQ(service.registerText("ann").code, 0);
    std::vector<std::uint16_t> statuses;
    store->forEach([&](const StoredRegistration& row) { statuses.push_back(row.databaseStatus); });
    EXPECT_EQ(statuses, std::vector<std::uint16_t>{0});
}

// What action() throws, run as an unprivileged user when this process is
// root, who may write any file; "" when it throws nothing.
std::string refusal(const std::function<void()>& action)
{
    const auto message = [&]() -> std::string {
        try {
            action();
        } catch (const std::exception& error) {
            return error.what();
        }
        return "";
    };
    if (::geteuid() != 0) {
        return message();
    }
    int out[2];
    if (::pipe(out) != 0) {
        return "no pipe";
    }
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(out[0]);
        const bool dropped = ::setgid(65534) == 0 && ::setuid(65534) == 0;
        const std::string what = dropped ? message() : "cannot drop root";
        (void)!::write(out[1], what.data(), what.size());
        ::_exit(0);
    }
    ::close(out[1]);
    std::string what;
    char buffer[512];
    for (ssize_t got; (got = ::read(out[0], buffer, sizeof buffer)) > 0;) {
        what.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(out[0]);
    ::waitpid(child, nullptr, 0);
    return what;
}

TEST(ServicePersistence, FilesAreTheOwnersAndUnusableOnesAreRefusedAtStartUp)
{
    const mode_t previousMask = ::umask(022);
    {
        // Every user's text is in the database and its -wal and -shm files.
        const std::string path = freshPath("private.db");
        auto store = std::make_shared<RegistrationStore>(path);
        const LoopbackService service(DBProxyBehaviour{}, serviceOptions(), store);
        EXPECT_EQ(service.registerText("ann").code, 0);
        for (const char* suffix : {"", "-wal", "-shm"}) {
            struct stat status {};
            ASSERT_EQ(::stat((path + suffix).c_str(), &status), 0) << suffix;
            EXPECT_EQ(status.st_mode & 0777, 0600u) << path << suffix;
        }
    }
    ::umask(previousMask);

    struct Row {
        const char* name;
        std::function<void(const std::string& path)> prepare;
        std::function<void(const std::string& path)> start;
        const char* message; // what the refusal must say
    };
    const auto loadKey = [](const std::string& path) { ElGamalKey::fromFile(path); };
    const auto openStore = [](const std::string& path) { RegistrationStore store(path); };
    const Row rows[] = {
        {"a key file others may read",
         [](const std::string& path) {
             ElGamalKey::fromGroup(1024).saveFile(path);
             ::chmod(path.c_str(), 0644);
         },
         loadKey, "(mode 0644); chmod 600 "},
        {"a key file reached through a link",
         [](const std::string& path) {
             ElGamalKey::fromGroup(1024).saveFile(path + ".target");
             ::symlink((path + ".target").c_str(), path.c_str());
         },
         loadKey, "is a symbolic link"},
        {"a database the service cannot write",
         [](const std::string& path) {
             RegistrationStore{path};
             ::chmod(path.c_str(), 0444);
         },
         openStore, "the service cannot write it"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string path = freshPath("refused-file");
        std::filesystem::remove(path + ".target");
        row.prepare(path);
        EXPECT_NE(refusal([&] { row.start(path); }).find(row.message), std::string::npos)
            << refusal([&] { row.start(path); });
        std::filesystem::remove(path);
        std::filesystem::remove(path + ".target");
    }
}

} // namespace
