#include "ServiceProcess.h"

#include "DirectRegistration.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

std::string readFile(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

struct ScratchFolder {
    ScratchFolder()
    {
        std::string pattern = std::filesystem::temp_directory_path() / "service-bench.XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("cannot make a scratch folder");
        }
        path = pattern;
    }
    ~ScratchFolder()
    {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    std::string path;
};

// Each service its own output file: a reused name could show the last
// one's "ready" before the new one has written anything.
int started = 0;

} // namespace

std::string scratchPath(const std::string& name)
{
    static const ScratchFolder folder;
    return folder.path + "/" + name;
}

ServiceProcess::ServiceProcess(const std::string& program,
                               const std::vector<std::string>& arguments)
    : outputPath(scratchPath("service-" + std::to_string(++started) + ".out"))
{
    std::vector<std::string> words = {program};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    // Unwritten output would be written again by the child.
    std::fflush(nullptr);
    pid = ::fork();
    if (pid == 0) {
        // A test that dies takes its services with it.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (std::freopen(outputPath.c_str(), "w", stdout) != nullptr) {
            ::dup2(STDOUT_FILENO, STDERR_FILENO);
            ::execv(program.c_str(), argv.data());
        }
        ::_exit(127);
    }
    const std::regex listening(R"(^listening (directory|dbproxy) ([0-9.]+:[0-9]+) )");
    for (int attempt = 0; attempt < 300; ++attempt) {
        std::istringstream lines(readFile(outputPath));
        for (std::string line; std::getline(lines, line);) {
            std::smatch found;
            if (std::regex_search(line, found, listening)) {
                std::string& endpoint =
                    found[1] == "directory" ? directoryEndpoint : dbproxyEndpoint;
                if (endpoint.empty()) {
                    endpoint = found[2];
                }
            } else if (line == "ready" && !directoryEndpoint.empty()) {
                return;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    const std::string printed = readFile(outputPath);
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    throw std::runtime_error("the service did not start:\n" + printed);
}

ServiceProcess::~ServiceProcess()
{
    if (pid > 0) {
        ::kill(pid, SIGTERM);
        int status = 0;
        ::waitpid(pid, &status, 0);
    }
}

void ServiceProcess::killHard()
{
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    pid = -1;
}

std::string ServiceProcess::output() const
{
    return readFile(outputPath);
}

std::chrono::nanoseconds ServiceProcess::cpuTime() const
{
    // Fields 14 and 15 of /proc/PID/stat, after the command in parentheses.
    const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::string field;
    unsigned long long user = 0;
    unsigned long long system = 0;
    for (int index = 3; index <= 15 && fields >> field; ++index) {
        if (index == 14) {
            user = std::stoull(field);
        } else if (index == 15) {
            system = std::stoull(field);
        }
    }
    const auto ticks = static_cast<long long>(user + system);
    return std::chrono::nanoseconds(ticks * 1000000000LL / ::sysconf(_SC_CLK_TCK));
}

std::uint64_t ServiceProcess::residentKiB() const
{
    std::istringstream lines(readFile("/proc/" + std::to_string(pid) + "/status"));
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::stoull(line.substr(6));
        }
    }
    return 0;
}

std::uint64_t registerConcurrently(const std::string& directory, int clients, std::uint64_t count,
                                   std::uint64_t firstText)
{
    return registerConcurrently(std::vector<std::string>{directory}, clients, count, firstText);
}

std::uint64_t registerConcurrently(const std::vector<std::string>& directories, int clients,
                                   std::uint64_t count, std::uint64_t firstText)
{
    std::atomic<std::uint64_t> next{0};
    std::atomic<std::uint64_t> succeeded{0};
    std::vector<std::thread> threads;
    for (int client = 0; client < clients; ++client) {
        const std::string directory =
            directories[static_cast<std::size_t>(client) % directories.size()];
        threads.emplace_back([&, directory] {
            for (std::uint64_t i = next++; i < count; i = next++) {
                const std::string text = "player" + std::to_string(firstText + i) + "@example.com";
                if (runRegistrationWith(directory.c_str(), directory.c_str(),
                                        {text.c_str(), 3, 1, 0, 1, 0}) == REGISTER_RESULT_SUCCESS) {
                    ++succeeded;
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    return succeeded;
}
