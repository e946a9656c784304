// The store in an SQLite file: one machine's processes share it, each write
// under SQLite's database-wide lock.
#include "test-service/StoreBackend.h"

#include <fcntl.h>
#include <mutex>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

namespace testservice {

namespace {

constexpr const char* schema = R"(
CREATE TABLE schema_version (version INTEGER NOT NULL);
CREATE TABLE registrations (
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    received_utc TEXT NOT NULL,
    client TEXT NOT NULL,
    dbproxy TEXT NOT NULL,
    text BLOB NOT NULL,
    setting INTEGER NOT NULL,
    flag1 INTEGER NOT NULL,
    flag2 INTEGER NOT NULL,
    flag3 INTEGER NOT NULL,
    database_status INTEGER NOT NULL,
    result BLOB NOT NULL,
    retry INTEGER NOT NULL DEFAULT 0
);
-- The duplicate check reads only the accepted texts.
CREATE INDEX registrations_accepted_text ON registrations (text) WHERE database_status = 0;
)";

class Statement {
  public:
    Statement(sqlite3* db, const char* sql)
    {
        if (sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) != SQLITE_OK) {
            throw StoreError(std::string("cannot prepare a statement: ") + sqlite3_errmsg(db));
        }
    }
    ~Statement() { sqlite3_finalize(statement); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    Statement& bind(int index, std::int64_t value)
    {
        check(sqlite3_bind_int64(statement, index, value));
        return *this;
    }
    Statement& bind(int index, const std::string& value)
    {
        check(sqlite3_bind_text(statement, index, value.data(), static_cast<int>(value.size()),
                                SQLITE_TRANSIENT));
        return *this;
    }
    Statement& bind(int index, const Bytes& value)
    {
        // A zero-length blob must still be a blob, not NULL.
        static const std::uint8_t none = 0;
        check(sqlite3_bind_blob(statement, index, value.empty() ? &none : value.data(),
                                static_cast<int>(value.size()), SQLITE_TRANSIENT));
        return *this;
    }

    // True while a row is there to read.
    bool step()
    {
        const int status = sqlite3_step(statement);
        if (status == SQLITE_ROW) {
            return true;
        }
        if (status != SQLITE_DONE) {
            throw StoreError(std::string("database step failed: ") +
                             sqlite3_errmsg(sqlite3_db_handle(statement)));
        }
        return false;
    }

    std::int64_t integer(int column) const { return sqlite3_column_int64(statement, column); }
    std::string text(int column) const
    {
        const auto* data = sqlite3_column_text(statement, column);
        return data == nullptr
                   ? std::string()
                   : std::string(reinterpret_cast<const char*>(data),
                                 static_cast<std::size_t>(sqlite3_column_bytes(statement, column)));
    }
    Bytes bytes(int column) const
    {
        const auto* data = static_cast<const std::uint8_t*>(sqlite3_column_blob(statement, column));
        return data == nullptr ? Bytes()
                               : Bytes(data, data + sqlite3_column_bytes(statement, column));
    }

  private:
    void check(int status) const
    {
        if (status != SQLITE_OK) {
            throw StoreError(std::string("cannot bind a value: ") +
                             sqlite3_errmsg(sqlite3_db_handle(statement)));
        }
    }

    sqlite3_stmt* statement = nullptr;
};

class SqliteStore : public StoreBackend {
  public:
    SqliteStore(const std::string& path, RegistrationStore::Access access,
                std::chrono::milliseconds lockWait);
    ~SqliteStore() override;
    SqliteStore(const SqliteStore&) = delete;
    SqliteStore& operator=(const SqliteStore&) = delete;

    std::int64_t store(StoredRegistration row, const std::optional<std::string>& retrySince,
                       const RegistrationStore::Decision& decide) override;
    void checkWritable() override;
    void forEach(const Visit& visit) const override;
    void importRows(const std::function<void(const Visit& insert)>& rows) override;

  private:
    void execute(const char* sql) const;
    void prepareSchema();
    // Runs work in a write transaction, rolled back when it throws.
    template <typename Work> auto writing(Work&& work);

    mutable std::mutex mutex;
    sqlite3* db = nullptr;
    // A version-1 store opened read-only has no retry column.
    bool hasRetryColumn = true;
};

SqliteStore::SqliteStore(const std::string& path, RegistrationStore::Access access,
                         std::chrono::milliseconds lockWait)
{
    using Access = RegistrationStore::Access;
    const int flags = access == Access::readOnly ? SQLITE_OPEN_READONLY
                                                 : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
    if (access == Access::readWrite) {
        // Every user's text is in it. SQLite gives the -wal and -shm files
        // the database file's mode, so a file made 0600 here, whatever the
        // umask, keeps all three to their owner.
        const int created = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (created >= 0) {
            ::fchmod(created, S_IRUSR | S_IWUSR);
            ::close(created);
        }
    }
    // The store's own mutex serialises its users, so SQLite's is not needed.
    if (sqlite3_open_v2(path.c_str(), &db, flags | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK) {
        const std::string why = db != nullptr ? sqlite3_errmsg(db) : "out of memory";
        sqlite3_close(db);
        throw StoreError("cannot open the database " + path + ": " + why);
    }
    try {
        // SQLite opens a file it may not write read-only without a word; the
        // service would then start and refuse every registration.
        if (access == Access::readWrite && sqlite3_db_readonly(db, "main") == 1) {
            throw StoreError("the service cannot write it; give its user write access to the "
                             "file and its folder");
        }
        // Another process holding the write lock is waited for, not failed,
        // but only as long as a client waits for its reply.
        sqlite3_busy_timeout(db, static_cast<int>(lockWait.count()));
        if (access == Access::readWrite) {
            Statement walMode(db, "PRAGMA journal_mode = WAL");
            if (!walMode.step() || walMode.text(0) != "wal") {
                throw StoreError("the database cannot use write-ahead logging");
            }
            // Each registration is on disk before its reply is sent.
            execute("PRAGMA synchronous = FULL");
        }
        // The default cache of 2 MB fills as the file grows and shows as a
        // service whose memory creeps up for its first ten thousand
        // registrations; the duplicate check and the append touch a few pages
        // of the index and the table's end, which 256 KB keeps.
        execute("PRAGMA cache_size = -256");
        prepareSchema();
    } catch (const StoreError& error) {
        sqlite3_close(db);
        throw StoreError(path + ": " + error.what());
    }
}

SqliteStore::~SqliteStore()
{
    sqlite3_close(db);
}

void SqliteStore::execute(const char* sql) const
{
    char* message = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &message) != SQLITE_OK) {
        const std::string why = message != nullptr ? message : sqlite3_errmsg(db);
        sqlite3_free(message);
        throw StoreError(why);
    }
}

void SqliteStore::prepareSchema()
{
    const bool readOnly = sqlite3_db_readonly(db, "main") == 1;
    if (!readOnly) {
        execute("BEGIN IMMEDIATE");
    }
    try {
        Statement tables(db, "SELECT count(*), "
                             "count(CASE WHEN name = 'schema_version' THEN 1 END) "
                             "FROM sqlite_schema WHERE type = 'table'");
        tables.step();
        if (tables.integer(1) == 0) {
            if (tables.integer(0) != 0) {
                throw StoreError("not a registration database (it has other tables)");
            }
            if (readOnly) {
                throw StoreError("no registrations stored yet (the database is empty)");
            }
            execute(schema);
            Statement(db, "INSERT INTO schema_version (version) VALUES (?)")
                .bind(1, RegistrationStore::schemaVersion)
                .step();
        }
        Statement version(db, "SELECT max(version) FROM schema_version");
        version.step();
        const std::int64_t found = version.integer(0);
        if (found == 1 && readOnly) {
            hasRetryColumn = false;
        } else if (found == 1) {
            execute("ALTER TABLE registrations ADD COLUMN retry INTEGER NOT NULL DEFAULT 0");
            Statement(db, "UPDATE schema_version SET version = ?")
                .bind(1, RegistrationStore::schemaVersion)
                .step();
        } else if (found != RegistrationStore::schemaVersion) {
            throw StoreError("schema version " + std::to_string(found) +
                             ", this program knows version " +
                             std::to_string(RegistrationStore::schemaVersion));
        }
        if (!readOnly) {
            execute("COMMIT");
        }
    } catch (...) {
        if (!readOnly) {
            sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        }
        throw;
    }
}

template <typename Work> auto SqliteStore::writing(Work&& work)
{
    std::lock_guard lock(mutex);
    execute("BEGIN IMMEDIATE");
    try {
        auto outcome = work();
        execute("COMMIT");
        return outcome;
    } catch (...) {
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
}

std::int64_t SqliteStore::store(StoredRegistration row,
                                const std::optional<std::string>& retrySince,
                                const RegistrationStore::Decision& decide)
{
    return writing([&] {
        RegistrationStore::Precedent precedent;
        Statement accepted(
            db, "SELECT 1 FROM registrations WHERE database_status = 0 AND text = ? LIMIT 1");
        precedent.textAccepted = accepted.bind(1, row.text).step();
        if (precedent.textAccepted && retrySince) {
            Statement original(db, "SELECT result FROM registrations WHERE database_status = 0 "
                                   "AND retry = 0 AND text = ? AND setting = ? AND flag1 = ? "
                                   "AND flag2 = ? AND flag3 = ? AND received_utc >= ? "
                                   "ORDER BY id DESC LIMIT 1");
            original.bind(1, row.text).bind(2, row.setting).bind(3, row.flags[0]);
            original.bind(4, row.flags[1]).bind(5, row.flags[2]).bind(6, *retrySince);
            if (original.step()) {
                precedent.retryOf = original.bytes(0);
            }
        }

        Statement insert(db, "INSERT INTO registrations (received_utc, client, dbproxy, text, "
                             "setting, flag1, flag2, flag3, database_status, result) "
                             "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
        insert.bind(1, row.time).bind(2, row.client).bind(3, row.dbproxy).bind(4, row.text);
        insert.bind(5, row.setting).bind(6, row.flags[0]).bind(7, row.flags[1]);
        insert.bind(8, row.flags[2]).bind(9, row.databaseStatus).bind(10, row.result);
        insert.step();
        row.id = sqlite3_last_insert_rowid(db);

        decide(precedent, row.id, row);
        Statement decided(
            db, "UPDATE registrations SET database_status = ?, result = ?, retry = ? WHERE id = ?");
        decided.bind(1, row.databaseStatus).bind(2, row.result).bind(3, row.retry ? 1 : 0);
        decided.bind(4, row.id).step();
        return row.id;
    });
}

void SqliteStore::checkWritable()
{
    // Rewrites a page with what it holds: a real write, no new data.
    writing([&] {
        execute("UPDATE schema_version SET version = version");
        return 0;
    });
}

void SqliteStore::importRows(const std::function<void(const Visit& insert)>& rows)
{
    writing([&] {
        Statement count(db, "SELECT count(*) FROM registrations");
        count.step();
        if (count.integer(0) != 0) {
            throw StoreError(notEmptyMessage(count.integer(0)));
        }
        rows([&](const StoredRegistration& row) {
            Statement insert(db, "INSERT INTO registrations (id, received_utc, client, dbproxy, "
                                 "text, setting, flag1, flag2, flag3, database_status, result, "
                                 "retry) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
            insert.bind(1, row.id).bind(2, row.time).bind(3, row.client).bind(4, row.dbproxy);
            insert.bind(5, row.text).bind(6, row.setting).bind(7, row.flags[0]);
            insert.bind(8, row.flags[1]).bind(9, row.flags[2]).bind(10, row.databaseStatus);
            insert.bind(11, row.result).bind(12, row.retry ? 1 : 0).step();
        });
        return 0;
    });
}

void SqliteStore::forEach(const Visit& visit) const
{
    std::lock_guard lock(mutex);
    Statement rows(db, selectEveryRow(hasRetryColumn));
    while (rows.step()) {
        visit(rowFrom(rows));
    }
}

} // namespace

std::unique_ptr<StoreBackend> openSqliteStore(const std::string& path,
                                              RegistrationStore::Access access,
                                              std::chrono::milliseconds lockWait)
{
    return std::make_unique<SqliteStore>(path, access, lockWait);
}

} // namespace testservice
