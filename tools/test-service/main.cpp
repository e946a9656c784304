// register-test-service: directory and DBProxy servers, printing one line per
// event, until SIGINT or SIGTERM; "export" prints what they stored and
// "migrate" copies it to another store.
#include "test-service/DBProxyServer.h"
#include "test-service/DirectoryServer.h"
#include "test-service/MetricsServer.h"
#include "test-service/RegistrationExport.h"
#include "test-service/ServiceOptions.h"

#include <csignal>
#include <iostream>
#include <memory>
#include <mutex>
#include <pthread.h>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using namespace testservice;

std::mutex outputMutex;

void printLine(const std::string& line)
{
    std::lock_guard lock(outputMutex);
    std::cout << line << std::endl;
}

ElGamalKey freshKey(const ServiceOptions& options)
{
    if (options.generateKey) {
        printLine("generating a " + std::to_string(options.keyBits) + "-bit safe prime");
        return ElGamalKey::generate(options.keyBits);
    }
    return ElGamalKey::fromGroup(options.keyBits);
}

// Every DBProxy shares the key of --key-file; without one each has its own.
std::unique_ptr<ElGamalKey> sharedKey(const ServiceOptions& options)
{
    if (options.keyFile.empty()) {
        return nullptr;
    }
    bool created = false;
    auto key = std::make_unique<ElGamalKey>(ElGamalKey::fromFileOrCreate(
        options.keyFile, [&] { return freshKey(options); }, created));
    printLine((created ? "created key file " : "key file ") + options.keyFile + " (" +
              std::to_string(key->bits()) + "-bit key)");
    return key;
}

int run(const ServiceOptions& options)
{
    // Every server thread inherits this mask, so the signals reach sigwait.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    ServerOptions serverOptions;
    serverOptions.keepRecords = false;
    serverOptions.verbose = options.verbose;
    serverOptions.idleTimeout = options.idleTimeout;
    serverOptions.connectionLifetime = options.connectionLifetime;
    // Two budgets: clients held at the directory cannot keep others from
    // the DBProxies, nor the other way round.
    ServerOptions directoryOptions = serverOptions;
    directoryOptions.connectionLimit =
        std::make_shared<ConnectionLimit>(options.maxConnections, options.maxConnectionsPerAddress);
    serverOptions.connectionLimit =
        std::make_shared<ConnectionLimit>(options.maxConnections, options.maxConnectionsPerAddress);
    DBProxyServices services;
    if (!options.database.empty()) {
        services.store = std::make_shared<RegistrationStore>(
            options.database, RegistrationStore::Access::readWrite, options.storeTimeout);
    }
    if (options.registrationsPerMinute > 0) {
        services.rate = std::make_shared<RegistrationRate>(options.registrationsPerMinute);
    }
    services.metrics = std::make_shared<ServiceMetrics>();
    const std::unique_ptr<ElGamalKey> fileKey = sharedKey(options);

    std::vector<std::unique_ptr<DBProxyServer>> dbproxies;
    std::vector<std::unique_ptr<DirectoryServer>> directories;
    std::vector<std::string> ready;
    const bool proxyRefuses = options.dbproxy.mode == DBProxyBehaviour::Mode::refuse;
    const bool directoryRefuses = options.directory.mode == DirectoryBehaviour::Mode::refuse;

    std::vector<Endpoint> boundDBProxies;
    for (const Endpoint& endpoint : options.dbproxies) {
        DBProxyServices own = services;
        own.replays = std::make_shared<ReplayCache>();
        auto server =
            std::make_unique<DBProxyServer>(endpoint, fileKey ? *fileKey : freshKey(options),
                                            options.dbproxy, printLine, serverOptions, own);
        if (dbproxies.empty() && !options.saveKey.empty()) {
            server->key().saveFile(options.saveKey);
        }
        ready.push_back((proxyRefuses ? "refusing dbproxy " : "listening dbproxy ") +
                        server->endpointText() + " (" + std::to_string(server->key().bits()) +
                        "-bit key)");
        boundDBProxies.push_back({server->address(), server->port()});
        dbproxies.push_back(std::move(server));
    }

    const std::vector<DirectoryEntry> listed =
        options.listGiven ? options.listed : defaultListing(options, boundDBProxies);
    for (const Endpoint& endpoint : options.directories) {
        auto server = std::make_unique<DirectoryServer>(endpoint, listed, options.directory,
                                                        printLine, directoryOptions);
        ready.push_back((directoryRefuses ? "refusing directory " : "listening directory ") +
                        server->endpointText() + " (" + std::to_string(listed.size()) +
                        " entries)");
        directories.push_back(std::move(server));
    }
    std::unique_ptr<MetricsServer> metrics;
    if (options.metrics) {
        const std::vector<std::pair<std::string, const ConnectionLimit*>> budgets = {
            {"directory", directoryOptions.connectionLimit.get()},
            {"dbproxy", serverOptions.connectionLimit.get()}};
        metrics = std::make_unique<MetricsServer>(
            *options.metrics,
            [counts = services.metrics, budgets] { return counts->exposition(budgets); },
            [store = services.store]() -> std::optional<std::string> {
                return store ? store->whyNotWritable() : std::nullopt;
            });
        ready.push_back("serving metrics http://" + metrics->endpointText() + "/metrics");
    }
    for (const std::string& line : ready) {
        printLine(line);
    }
    printLine("ready");

    int signal = 0;
    sigwait(&stopSignals, &signal);
    printLine(std::string("stopping on ") + (signal == SIGINT ? "SIGINT" : "SIGTERM"));
    for (const auto& [name, budget] :
         {std::pair{"directory", directoryOptions.connectionLimit.get()},
          std::pair{"dbproxy", serverOptions.connectionLimit.get()}}) {
        const std::size_t overAddress = budget->refusedOverAddress();
        printLine(std::string(name) + ": " + std::to_string(budget->refusedCount() - overAddress) +
                  " connections closed at once over the limit of " +
                  std::to_string(options.maxConnections) + ", " + std::to_string(overAddress) +
                  " over " + std::to_string(options.maxConnectionsPerAddress) + " per address");
    }
    if (services.rate) {
        printLine("dbproxy: " + std::to_string(services.rate->refusedCount()) +
                  " registrations closed unanswered over " +
                  std::to_string(options.registrationsPerMinute) + " a minute per address");
    }
    return 0;
}

int runExport(const ExportOptions& options)
{
    const RegistrationStore store(options.database, RegistrationStore::Access::readOnly);
    exportRegistrations(store, options.format, std::cout);
    std::cout.flush();
    return std::cout ? 0 : 1;
}

int runMigrate(const MigrateOptions& options)
{
    const RegistrationStore from(options.from, RegistrationStore::Access::readOnly);
    RegistrationStore to(options.to);
    const std::int64_t copied = to.importFrom(from);
    std::cout << "copied " << copied << " registrations" << std::endl;
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    // Past a file-size limit (ulimit -f) a write fails with EFBIG, which the
    // store reports as a failed registration; the signal would kill the
    // service instead.
    std::signal(SIGXFSZ, SIG_IGN);
    std::vector<std::string> args(argv + 1, argv + argc);
    const std::string command = args.empty() ? "" : args[0];
    const std::vector<std::string> rest(args.begin() + (args.empty() ? 0 : 1), args.end());
    std::optional<ServiceOptions> service;
    std::optional<ExportOptions> exported;
    std::optional<MigrateOptions> migrated;
    try {
        if (command == "export") {
            exported = parseExportOptions(rest);
        } else if (command == "migrate") {
            migrated = parseMigrateOptions(rest);
        } else {
            service = parseServiceOptions(args);
        }
        if (!service && !exported && !migrated) {
            return 0;
        }
    } catch (const std::exception& error) {
        std::cerr << "register-test-service: " << error.what() << "\n";
        return 2;
    }
    try {
        return exported ? runExport(*exported) : migrated ? runMigrate(*migrated) : run(*service);
    } catch (const std::exception& error) {
        std::cerr << "register-test-service: " << error.what() << "\n";
        return 1;
    }
}
