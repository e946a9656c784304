#include "ThrowawayPostgres.h"

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <libpq-fe.h>
#include <netinet/in.h>
#include <sstream>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr uid_t nobody = 65534;

// The newest installed server's bin folder, or "".
std::string serverPrograms()
{
    std::string newest;
    int newestVersion = 0;
    std::error_code missing;
    for (const auto& entry : std::filesystem::directory_iterator("/usr/lib/postgresql", missing)) {
        const std::string bin = entry.path() / "bin";
        const int version = std::atoi(entry.path().filename().c_str());
        if (version > newestVersion && std::filesystem::exists(bin + "/postgres") &&
            std::filesystem::exists(bin + "/initdb")) {
            newest = bin;
            newestVersion = version;
        }
    }
    return newest;
}

// Runs a server program with its output appended to log, as nobody when this
// process is root. A long-lived one also dies with this thread.
pid_t spawn(const std::vector<std::string>& words, const std::string& log, bool dieWithParent)
{
    std::vector<char*> argv;
    for (const std::string& word : words) {
        argv.push_back(const_cast<char*>(word.c_str()));
    }
    argv.push_back(nullptr);
    const pid_t parent = ::getpid();
    std::fflush(nullptr); // unwritten output would be written again by the child
    const pid_t child = ::fork();
    if (child != 0) {
        return child;
    }
    const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    ::dup2(out, STDOUT_FILENO);
    ::dup2(out, STDERR_FILENO);
    if (::geteuid() == 0 &&
        (::setgroups(0, nullptr) != 0 || ::setgid(nobody) != 0 || ::setuid(nobody) != 0)) {
        ::_exit(126);
    }
    // Set after the user changes, which clears it.
    if (dieWithParent && (::prctl(PR_SET_PDEATHSIG, SIGQUIT) != 0 || ::getppid() != parent)) {
        ::_exit(126);
    }
    ::execv(argv[0], argv.data());
    ::_exit(127);
}

std::string readFile(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

} // namespace

int freeLoopbackPort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    ::close(fd);
    return ntohs(address.sin_port);
}

std::string ThrowawayPostgres::unavailableBecause()
{
    return serverPrograms().empty() ? "PostgreSQL is not installed (Debian's postgresql package; "
                                      "scripts/install-deps.sh installs it)"
                                    : "";
}

ThrowawayPostgres::ThrowawayPostgres()
{
    const std::string bin = serverPrograms();
    if (bin.empty()) {
        throw std::runtime_error(unavailableBecause());
    }
    std::string pattern = std::filesystem::temp_directory_path() / "register-postgres.XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("cannot make a folder for PostgreSQL");
    }
    folder = pattern;
    if (::geteuid() == 0 && ::chown(folder.c_str(), nobody, nobody) != 0) {
        std::filesystem::remove_all(folder);
        throw std::runtime_error("cannot give " + folder + " to nobody");
    }
    const pid_t initdb = spawn({bin + "/initdb", "-D", folder + "/data", "-U", "register", "-A",
                                "trust", "-E", "UTF8", "--locale=C", "--no-sync"},
                               folder + "/initdb.log", false);
    int status = 0;
    ::waitpid(initdb, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        const std::string log = readFile(folder + "/initdb.log");
        std::filesystem::remove_all(folder);
        throw std::runtime_error("initdb failed:\n" + log);
    }
    listeningPort = freeLoopbackPort();
    try {
        start();
    } catch (...) {
        stop();
        std::filesystem::remove_all(folder);
        throw;
    }
}

ThrowawayPostgres::~ThrowawayPostgres()
{
    stop();
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
}

void ThrowawayPostgres::start()
{
    postmaster = spawn({serverPrograms() + "/postgres", "-D", folder + "/data", "-k", folder, "-p",
                        std::to_string(listeningPort), "-c", "listen_addresses=127.0.0.1", "-c",
                        "max_connections=40"},
                       folder + "/postgres.log", true);
    const std::string ping = uri("postgres") + "?connect_timeout=2";
    for (int attempt = 0; attempt < 300; ++attempt) {
        if (PQping(ping.c_str()) == PQPING_OK) {
            return;
        }
        if (::waitpid(postmaster, nullptr, WNOHANG) == postmaster) {
            postmaster = -1;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    throw std::runtime_error("PostgreSQL did not start:\n" + readFile(folder + "/postgres.log"));
}

void ThrowawayPostgres::stop()
{
    if (postmaster <= 0) {
        return;
    }
    ::kill(postmaster, SIGINT); // fast shutdown
    for (int attempt = 0; attempt < 300; ++attempt) {
        if (::waitpid(postmaster, nullptr, WNOHANG) == postmaster) {
            postmaster = -1;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ::kill(postmaster, SIGKILL);
    ::waitpid(postmaster, nullptr, 0);
    postmaster = -1;
}

void ThrowawayPostgres::restart()
{
    stop();
    start();
}

std::string ThrowawayPostgres::uri(const std::string& database) const
{
    return "postgresql://register@127.0.0.1:" + std::to_string(listeningPort) + "/" + database;
}

std::string ThrowawayPostgres::freshDatabase()
{
    const std::string name = "registrations" + std::to_string(++databases);
    PGconn* connection = PQconnectdb(uri("postgres").c_str());
    PGresult* created = PQexec(connection, ("CREATE DATABASE " + name).c_str());
    const bool ok = PQresultStatus(created) == PGRES_COMMAND_OK;
    const std::string why = PQerrorMessage(connection);
    PQclear(created);
    PQfinish(connection);
    if (!ok) {
        throw std::runtime_error("cannot create a database: " + why);
    }
    return uri(name);
}
