// register-host run as a user runs it, checked by its exit status, its output
// and what the servers in this process saw.
#include "LibraryLoader.h"
#include "test-service/DBProxyServer.h"
#include "test-service/DirectoryServer.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <register/register.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <vector>

extern char** environ;

namespace {

using namespace testservice;
using Mode = DBProxyBehaviour::Mode;

struct HostRun {
    int status = -1;
    std::string out;
    std::string err;
};

std::string readAll(std::FILE* file)
{
    std::rewind(file);
    std::string text;
    char chunk[4096];
    for (std::size_t got; (got = std::fread(chunk, 1, sizeof chunk, file)) > 0;) {
        text.append(chunk, got);
    }
    return text;
}

HostRun runHost(std::vector<std::string> arguments)
{
    arguments.insert(arguments.begin(), REGISTER_HOST_FILE);
    std::vector<char*> argv;
    for (std::string& argument : arguments) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    const std::unique_ptr<std::FILE, int (*)(std::FILE*)> out(std::tmpfile(), std::fclose);
    const std::unique_ptr<std::FILE, int (*)(std::FILE*)> err(std::tmpfile(), std::fclose);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fileno(out.get()), 1);
    posix_spawn_file_actions_adddup2(&actions, fileno(err.get()), 2);
    pid_t pid = 0;
    int status = 0;
    const bool ran = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0 &&
                     waitpid(pid, &status, 0) == pid && WIFEXITED(status);
    posix_spawn_file_actions_destroy(&actions);
    return {ran ? WEXITSTATUS(status) : -1, readAll(out.get()), readAll(err.get())};
}

// Each "{name}" replaced by the value the test learnt at run time.
std::string filled(std::string text, const std::map<std::string, std::string>& values)
{
    for (const auto& [name, value] : values) {
        for (std::size_t at; (at = text.find("{" + name + "}")) != std::string::npos;) {
            text.replace(at, name.size() + 2, value);
        }
    }
    return text;
}

std::vector<std::string> filled(std::vector<std::string> texts,
                                const std::map<std::string, std::string>& values)
{
    for (std::string& text : texts) {
        text = filled(text, values);
    }
    return texts;
}

std::string libraryVersion()
{
    const LoadedLibrary library(REGISTER_LIBRARY_FILE);
    const auto version = library.function<decltype(&DLL_RegisterVersion)>("DLL_RegisterVersion");
    return version != nullptr ? version() : "no DLL_RegisterVersion";
}

std::map<std::string, std::string> knownValues()
{
    return {{"oneCallLibrary", REGISTER_ONE_CALL_LIBRARY_FILE}, {"version", libraryVersion()}};
}

struct NothingRegistered {
    const char* fault;
    std::vector<std::string> arguments;
    int status;
    std::string shows; // on stdout when the status is 0, else on stderr
};

// A directory server that lists no registration server is where any call
// would go: nothing can register, and every attempt is counted.
TEST(RegisterHost, RegistersNothingWhenNotAskedToOrTheCommandLineIsWrong)
{
    const std::string usage = "usage: register-host";
    const auto values = knownValues();
    const std::vector<NothingRegistered> rows = {
        {"--help taken for a text", {"--help"}, 0, usage},
        {"--version taken for a text", {"--version"}, 0, "library {version}"},
        {"a misspelt option taken for a text", {"--dedline", "5", "a"}, 2, "unknown option"},
        {"an option without its value", {"--deadline"}, 2, "--deadline needs a value"},
        {"an option taking the text as its value", {"--directory", "a"}, 2, "no TEXT"},
        {"an option taking the next option as its value",
         {"--log-file", "--progress", "a"},
         2,
         "--log-file needs a value"},
        {"a value that is not a number", {"--deadline", "soon", "a"}, 2, "--deadline"},
        {"a number with a unit", {"--cancel-after", "10ms", "a"}, 2, "--cancel-after"},
        {"negative milliseconds", {"--deadline", "-1", "a"}, 2, "--deadline"},
        {"milliseconds above 2147483647",
         {"--cancel-after", "2147483648", "a"},
         2,
         "--cancel-after"},
        {"a setting beyond 32 bits", {"a", "4294967296"}, 2, "SETTING"},
        {"a flag that is not a number", {"a", "3", "1", "x"}, 2, "FLAG2"},
        {"too many arguments", {"a", "3", "1", "0", "1", "0", "0"}, 2, "too many"},
        {"a value the library refuses", {"--directory", "nowhere", "a"}, 2, "--directory"},
        {"a library that cannot be loaded",
         {"--library", "/nonexistent/libregister.so", "a"},
         3,
         "cannot load"},
        {"an option a 1.0 library would ignore",
         {"--library", "{oneCallLibrary}", "--deadline", "5", "a"},
         3,
         "--deadline"},
    };
    for (const NothingRegistered& row : rows) {
        SCOPED_TRACE(row.fault);
        const DirectoryServer directory(Endpoint{}, {});
        ASSERT_EQ(setenv("REGISTER_DIRECTORY", directory.endpointText().c_str(), 1), 0);
        const HostRun run = runHost(filled(row.arguments, values));
        EXPECT_EQ(run.status, row.status) << run.err;
        EXPECT_EQ(directory.connectionCount(), 0u);
        EXPECT_EQ(run.out.find("code:"), std::string::npos) << run.out;
        EXPECT_EQ(run.err.find(usage) != std::string::npos, row.status == 2) << run.err;
        EXPECT_NE((row.status == 0 ? run.out : run.err).find(filled(row.shows, values)),
                  std::string::npos)
            << run.out << run.err;
    }
    unsetenv("REGISTER_DIRECTORY");
}

struct Registration {
    const char* fault;
    std::vector<std::string> arguments;
    DBProxyBehaviour dbproxy;
    int status;
    std::string shows;      // on stdout
    std::string registered; // the text the DBProxy decoded, if any
};

TEST(RegisterHost, ReportsEachRegistrationByItsExitStatusAndOutput)
{
    const std::string badConfig = testing::TempDir() + "register-host-bad.ini";
    std::ofstream(badConfig) << "deadline_ms = soon\n";
    const DBProxyBehaviour answer;
    DBProxyBehaviour errorStatus;
    errorStatus.dbproxyStatus = 0x8001;
    DBProxyBehaviour stall;
    stall.mode = Mode::stallAtRegistrationReply;
    const std::vector<Registration> rows = {
        {"a text after -- taken for an option",
         {"--", "--help", "3", "1", "0", "1"},
         answer,
         0,
         "code: 0 (",
         "--help"},
        {"the server or the result left out",
         {"a"},
         answer,
         0,
         "server: {dbproxy}\nresult: \"OK\"\nlog:\nGetting DBProxy Addrs\n",
         "a"},
        {"a failed registration exiting as a success", {"a"}, errorStatus, 14, "code: 4 (", ""},
        {"--directory not passed to the library",
         {"--directory", "127.0.0.1:1", "a"},
         answer,
         12,
         "server: 127.0.0.1:1\n",
         ""},
        {"--config not passed to the library",
         {"--config", badConfig, "a"},
         answer,
         11,
         "reason: 2 (",
         ""},
        {"--deadline not passed to the library",
         {"--deadline", "200", "a"},
         stall,
         16,
         "code: 6 (",
         ""},
        {"--cancel-after never cancelling",
         {"--cancel-after", "200", "a"},
         stall,
         15,
         "code: 5 (",
         ""},
        {"--progress printing the log again at the end",
         {"--progress", "a"},
         answer,
         0,
         "progress: Getting DBProxy Addrs\n",
         "a"},
        {"a 1.0 library no longer driven",
         {"--library", "{oneCallLibrary}", "a", "3"},
         answer,
         12,
         "log:\nreceived \"a\" setting 3\n",
         ""},
    };
    for (const Registration& row : rows) {
        SCOPED_TRACE(row.fault);
        const DBProxyServer dbproxy(Endpoint{}, row.dbproxy);
        const DirectoryServer directory(Endpoint{},
                                        {{"DBProxy", dbproxy.port(), dbproxy.address()}});
        ASSERT_EQ(setenv("REGISTER_DIRECTORY", directory.endpointText().c_str(), 1), 0);
        std::map<std::string, std::string> values = knownValues();
        values["dbproxy"] = dbproxy.endpointText();
        const HostRun run = runHost(filled(row.arguments, values));
        EXPECT_EQ(run.status, row.status) << run.out << run.err;
        EXPECT_NE(run.out.find(filled(row.shows, values)), std::string::npos) << run.out;
        // Every log line once: a log printed as it came is not printed again.
        EXPECT_EQ(run.out.find("Getting DBProxy Addrs"), run.out.rfind("Getting DBProxy Addrs"));
        if (!row.registered.empty()) {
            std::vector<Bytes> texts;
            for (const ReceivedRegistration& registration : dbproxy.registrations()) {
                texts.push_back(registration.text);
            }
            const Bytes text(row.registered.begin(), row.registered.end() + 1);
            EXPECT_EQ(texts, std::vector<Bytes>{text});
        }
    }
    unsetenv("REGISTER_DIRECTORY");
    std::remove(badConfig.c_str());
}

} // namespace
