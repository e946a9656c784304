// register-test-service run as its own process, as an operator runs it, for
// the tests of several processes and the load measurements: started on
// loopback ports, watched through /proc, stopped with SIGTERM.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

class ServiceProcess {
  public:
    // Throws std::runtime_error when the service does not report ready.
    ServiceProcess(const std::string& program, const std::vector<std::string>& arguments);
    ~ServiceProcess();
    ServiceProcess(const ServiceProcess&) = delete;
    ServiceProcess& operator=(const ServiceProcess&) = delete;

    // "127.0.0.1:PORT" of its first directory server.
    const std::string& directory() const { return directoryEndpoint; }
    // "127.0.0.1:PORT" of its first DBProxy, when it runs one.
    const std::string& dbproxy() const { return dbproxyEndpoint; }
    // User and system time the service has used so far.
    std::chrono::nanoseconds cpuTime() const;
    // Resident set size in KiB.
    std::uint64_t residentKiB() const;
    // Ends it with SIGKILL, as a crash or an OOM kill would, and waits.
    void killHard();
    // What it printed so far.
    std::string output() const;

  private:
    pid_t pid = -1;
    std::string outputPath;
    std::string directoryEndpoint;
    std::string dbproxyEndpoint;
};

// count registrations of distinct texts by clients threads at once, through
// the library against the directory; returns how many succeeded. With
// several directories, client i asks directories[i % their number].
std::uint64_t registerConcurrently(const std::vector<std::string>& directories, int clients,
                                   std::uint64_t count, std::uint64_t firstText);
std::uint64_t registerConcurrently(const std::string& directory, int clients, std::uint64_t count,
                                   std::uint64_t firstText);

// A path in a fresh temporary folder, removed with everything in it when the
// process ends.
std::string scratchPath(const std::string& name);
