// How an unchanged host's library is steered from outside: register.ini
// beside the library, REGISTER_CONFIG, REGISTER_DIRECTORY, REGISTER_LOG_FILE.

#include "LoadedRegister.h"

#include <algorithm>
#include <fstream>
#include <gtest/gtest.h>
#include <regex>
#include <sstream>
#include <thread>

namespace {

using testservice::DBProxyServer;

const testservice::Endpoint loopback{"127.0.0.1", 0};

struct Source {
    const char* name;
    // Written beside the library copy as register.ini when not empty; "{ok}"
    // stands for the answering directory server, "{dead}" for a closed port.
    std::string iniText;
    std::string directoryVariable;
    std::string configVariable; // "{folder}" stands for the copy's folder
    std::int32_t code;
    bool registers;
    std::string logged; // a line the log must hold; "{folder}" as above
};

std::string filled(std::string text, const std::string& folder, const std::string& ok,
                   const std::string& dead)
{
    for (const auto& [mark, value] : {std::pair<std::string, std::string>{"{folder}", folder},
                                      {"{ok}", ok},
                                      {"{dead}", dead}}) {
        for (std::size_t at; (at = text.find(mark)) != std::string::npos;) {
            text.replace(at, mark.size(), value);
        }
    }
    return text;
}

TEST(RuntimeConfiguration, EachSourceSteersOrRefusesTheCall)
{
    const Source sources[] = {
        {"variable", "", "{ok}", "", 0, true, ""},
        {"file beside the library", "# the service\n\ndirectory = {ok}\n", "", "", 0, true, ""},
        {"variable wins over the file", "directory = {dead}\n", "{ok}", "", 0, true, ""},
        {"named file", "", "", "{folder}/named.ini", 0, true, ""},
        {"log file that cannot be written", "directory = {ok}\nlog_file = {folder}/no/such.log\n",
         "", "", 0, true, ""},
        {"unknown key", "directory = {ok}\n\ncolour = blue\n", "", "", 1, false,
         "Configuration error: {folder}/register.ini line 3: unknown key \"colour\""},
        {"bad number", "deadline_ms = soon\n", "", "", 1, false,
         "Configuration error: {folder}/register.ini line 1: not a number of milliseconds "
         "from 0 to 2147483647: \"soon\""},
        {"zero timeout", "connect_timeout_ms = 0\n", "", "", 1, false, "line 1: not a number"},
        {"endpoint without a port", "directory = 127.0.0.1\n", "", "", 1, false,
         "line 1: not host:port[,host:port...]: \"127.0.0.1\""},
        {"line without =", "directory {ok}\n", "", "", 1, false, "line 1: not key = value"},
        {"named file missing", "", "", "{folder}/missing.ini", 1, false,
         "Configuration error: {folder}/missing.ini: no such file"},
        {"bad variable", "directory = {ok}\n", "localhost:http", "", 1, false,
         "Configuration error: REGISTER_DIRECTORY: not host:port"},
    };
    for (const Source& source : sources) {
        SCOPED_TRACE(source.name);
        DBProxyServer dbProxy(loopback);
        const auto directory = directoryListing({&dbProxy});
        const auto dead =
            directoryListing({}, directoryMode(testservice::DirectoryBehaviour::Mode::refuse));
        const LibraryCopy copy;
        const auto fill = [&](const std::string& text) {
            return filled(text, copy.folder(), directory->endpointText(), dead->endpointText());
        };
        ScopedEnvironment environment;
        if (!source.iniText.empty()) {
            copy.writeFile("register.ini", fill(source.iniText));
        }
        copy.writeFile("named.ini", fill("directory = {ok}\n"));
        if (!source.directoryVariable.empty()) {
            environment.set("REGISTER_DIRECTORY", fill(source.directoryVariable));
        }
        if (!source.configVariable.empty()) {
            environment.set("REGISTER_CONFIG", fill(source.configVariable));
        }
        const RegisterFunctions library(copy.libraryFile());
        ASSERT_TRUE(library.complete()) << library.library.error();

        EXPECT_EQ(library.registerUser("a", 3, 1, 0, 1, 0), source.code);
        const auto [code, log] = library.registerWithLog("a");
        EXPECT_EQ(code, source.code);
        if (source.code == 0) {
            EXPECT_EQ(log, successLog());
        } else {
            // One line that names the file, the line and the fault, and nothing else.
            EXPECT_NE(log.find(fill(source.logged)), std::string::npos) << log;
            EXPECT_EQ(log.rfind("Configuration error: ", 0), 0u) << log;
            EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;
        }
        EXPECT_EQ(dbProxy.registrations().size(), source.registers ? 2u : 0u);
        if (!source.registers) {
            EXPECT_EQ(directory->connectionCount() + dead->connectionCount(), 0u)
                << "a refused configuration touched the network";
        }
    }
}

} // namespace

namespace {

TEST(RuntimeConfiguration, LogFileHoldsOneWholeRecordPerCallFromManyThreads)
{
    DBProxyServer dbProxy(loopback);
    const auto directory = directoryListing({&dbProxy});
    const LibraryCopy copy;
    const std::string logFile = copy.folder() + "/calls.log";
    ScopedEnvironment environment;
    environment.set("REGISTER_DIRECTORY", directory->endpointText());
    environment.set("REGISTER_LOG_FILE", logFile);
    const RegisterFunctions library(REGISTER_LIBRARY_FILE);
    ASSERT_TRUE(library.complete()) << library.library.error();

    constexpr int threads = 8;
    constexpr int callsEach = 10;
    std::vector<std::thread> callers;
    for (int t = 0; t < threads; ++t) {
        callers.emplace_back([&] {
            for (int i = 0; i < callsEach; ++i) {
                EXPECT_EQ(library.registerUser("a", 3, 1, 0, 1, 0), 0);
            }
        });
    }
    for (std::thread& caller : callers) {
        caller.join();
    }

    std::stringstream text;
    text << std::ifstream(logFile).rdbuf();
    const std::regex firstLine(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z DLL_RegisterUser code 0 )"
                               R"(directory 127\.0\.0\.1:\d+\n)");
    const std::string body = successLog() + "\n";
    std::string rest = text.str();
    int records = 0;
    for (std::smatch match;
         std::regex_search(rest, match, firstLine, std::regex_constants::match_continuous);) {
        rest.erase(0, static_cast<std::size_t>(match.length()));
        ASSERT_EQ(rest.compare(0, body.size(), body), 0)
            << "record " << records << " is cut or interleaved:\n"
            << rest.substr(0, 400);
        rest.erase(0, body.size());
        ++records;
    }
    EXPECT_TRUE(rest.empty()) << "text outside any record:\n" << rest.substr(0, 400);
    EXPECT_EQ(records, threads * callsEach);
}

} // namespace
