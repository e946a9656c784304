// The command line of register-test-service (running the servers) and of its
// export and migrate subcommands.
#pragma once

#include "test-service/DBProxyServer.h"
#include "test-service/DirectoryServer.h"

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace testservice {

struct ServiceOptions {
    std::vector<Endpoint> directories;
    std::vector<Endpoint> dbproxies;
    std::vector<DirectoryEntry> listed;
    bool listGiven = false;
    std::string advertise; // for the DBProxies bound to 0.0.0.0
    int keyBits = 1024;
    bool generateKey = false;
    std::string keyFile;
    std::string saveKey;
    std::string database;
    std::chrono::milliseconds storeTimeout = defaultStoreTimeout;
    bool verbose = false;
    std::chrono::milliseconds idleTimeout{30000};
    std::size_t maxConnections = defaultMaxConnections;
    std::size_t maxConnectionsPerAddress = defaultMaxConnectionsPerAddress;
    std::chrono::milliseconds connectionLifetime{120000};
    std::size_t registrationsPerMinute = defaultRegistrationsPerMinute; // 0: no limit
    std::optional<Endpoint> metrics;
    DirectoryBehaviour directory;
    DBProxyBehaviour dbproxy;
};

struct ExportOptions {
    std::string database;
    enum class Format { csv, jsonl } format = Format::csv;
};

struct MigrateOptions {
    std::string from;
    std::string to;
};

// nullopt when only the help was asked for (and printed). Throws
// std::invalid_argument with the reason on a bad command line.
std::optional<ServiceOptions> parseServiceOptions(const std::vector<std::string>& args);
std::optional<ExportOptions> parseExportOptions(const std::vector<std::string>& args);
std::optional<MigrateOptions> parseMigrateOptions(const std::vector<std::string>& args);

// The entries the directory servers list when --list is not given: every
// DBProxy, those bound to 0.0.0.0 under the advertised address.
std::vector<DirectoryEntry> defaultListing(const ServiceOptions& options,
                                           const std::vector<Endpoint>& boundDBProxies);

} // namespace testservice
