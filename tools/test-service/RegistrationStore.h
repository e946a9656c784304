// The registrations a service accepted or refused, kept in a database so
// that they outlive the process: an SQLite file for one machine, or a
// PostgreSQL database that service processes on many machines share. Every
// DBProxy of a process shares one store; other processes (an export, a second
// service) may open the same database, and the duplicate policy holds across
// all of them, since each registration is decided and written in one
// transaction that the database serialises.
#pragma once

#include "test-service/Server.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

namespace testservice {

// A database that cannot be opened, read or written.
class StoreError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

struct StoredRegistration {
    std::int64_t id = 0; // the row's number, from 1, never reused
    std::string time;    // UTC, as utcTimestamp() writes it
    std::string client;  // "a.b.c.d:port"
    std::string dbproxy; // the DBProxy's "a.b.c.d:port"
    Bytes text;          // without its terminating zero byte
    std::uint8_t setting = 0;
    std::uint8_t flags[3] = {};
    std::uint16_t databaseStatus = 0;
    Bytes result;
    // A repeat of an accepted registration within the retry window, answered
    // with that registration's result.
    bool retry = false;
};

inline constexpr std::chrono::milliseconds defaultStoreTimeout{5000};

class StoreBackend;

class RegistrationStore {
  public:
    enum class Access { readWrite, readOnly };

    // location is a file path (SQLite) or a postgresql:// URI. readWrite
    // creates the file and the schema when they do not exist (an SQLite file
    // is put in WAL mode); readOnly needs an existing store. Throws
    // StoreError, also for a database that is not a store of this schema
    // version. Another writer's lock is waited for up to lockWait, and a
    // database server for as long; a registration that cannot be written by
    // then fails, so that its client, which waits far longer for a reply,
    // goes on to its next DBProxy rather than get an answer for a row stored
    // after it gave up.
    explicit RegistrationStore(const std::string& location, Access access = Access::readWrite,
                               std::chrono::milliseconds lockWait = defaultStoreTimeout);
    ~RegistrationStore();
    RegistrationStore(const RegistrationStore&) = delete;
    RegistrationStore& operator=(const RegistrationStore&) = delete;

    // What the store holds of a registration's text before it is written.
    struct Precedent {
        // The text was stored before with database status 0.
        bool textAccepted = false;
        // The result of the same text, setting and flags accepted since the
        // retry window's start, when there is one: this one is its retry.
        std::optional<Bytes> retryOf;
    };
    // One registration written under one write lock: decide gets the
    // precedent and the number the new row will have, and fills in the
    // status, the result and the retry mark of the row. retrySince is the
    // UTC time the retry window starts at (nothing: no window). The row is
    // kept only when decide returns; when it throws, nothing is written and
    // the exception leaves. When another process's registration of the same
    // text forces the database to run the transaction again, decide is called
    // again with the new precedent; only the last call's row is kept.
    using Decision =
        std::function<void(const Precedent& precedent, std::int64_t id, StoredRegistration& row)>;
    std::int64_t store(StoredRegistration row, const std::optional<std::string>& retrySince,
                       const Decision& decide);

    // Why a registration could not be written now, or nothing when it
    // could: the write lock is taken, waiting as a registration would, and a
    // change is committed, so that a lock held too long, a file made
    // read-only, a full disk or a database server out of reach all show.
    std::optional<std::string> whyNotWritable();

    // Every row in the order of their numbers.
    void forEach(const std::function<void(const StoredRegistration&)>& visit) const;

    // Copies every row of from, keeping its number and time, in one
    // transaction, and returns how many; throws StoreError, copying nothing,
    // when this store holds rows already.
    std::int64_t importFrom(const RegistrationStore& from);

    // Whether location names a PostgreSQL database rather than a file.
    static bool isDatabaseUri(const std::string& location);

    // 2 added the retry column; a store of version 1 is brought up to it.
    static constexpr int schemaVersion = 2;

  private:
    std::unique_ptr<StoreBackend> backend;
};

} // namespace testservice
