// How an unchanged host's library is steered from outside: register.ini
// beside the library, REGISTER_CONFIG, REGISTER_DIRECTORY, REGISTER_LOG_FILE.

#include "LoadedRegister.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <regex>
#include <sstream>
#include <sys/stat.h>
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
    // A line the log must hold, "{folder}" as above; for a call that
    // registers, the lines that come before the registration's own.
    std::string logged;
    // register.ini as something else: "fifo", "folder", "large" (1 MB of
    // comments) or "utf16le" (iniText saved as Notepad's "Unicode").
    std::string iniKind = "";
    std::string logVariable = ""; // "{folder}/log.fifo" is a FIFO
};

void writeIni(const LibraryCopy& copy, const std::string& kind, const std::string& text)
{
    const std::string path = copy.folder() + "/register.ini";
    if (kind == "fifo") {
        ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    } else if (kind == "folder") {
        ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
    } else if (kind == "large") {
        copy.writeFile("register.ini", std::string(1 << 20, '#'));
    } else if (kind == "utf16le") {
        std::string wide = "\xFF\xFE";
        for (const char c : text) {
            wide.append({c, '\0'});
        }
        copy.writeFile("register.ini", wide);
    } else if (!text.empty()) {
        copy.writeFile("register.ini", text);
    }
}

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

// A DBProxy and a directory listing it on loopback, a directory that refuses
// every connection, and a library copy in a folder of its own: what each row
// of a configuration test runs against.
struct Surroundings {
    DBProxyServer dbProxy{loopback};
    std::unique_ptr<testservice::DirectoryServer> directory = directoryListing({&dbProxy});
    std::unique_ptr<testservice::DirectoryServer> dead =
        directoryListing({}, directoryMode(testservice::DirectoryBehaviour::Mode::refuse));
    LibraryCopy copy;

    // The text with "{folder}", "{ok}" and "{dead}" filled in.
    std::string fill(const std::string& text) const
    {
        return filled(text, copy.folder(), directory->endpointText(), dead->endpointText());
    }
};

TEST(RuntimeConfiguration, EachSourceSteersOrRefusesTheCall)
{
    const Source sources[] = {
        {"variable", "", "{ok}", "", 0, true, ""},
        {"file beside the library", "# the service\n\ndirectory = {ok}\n", "", "", 0, true, ""},
        {"variable wins over the file", "directory = {dead}\n", "{ok}", "", 0, true, ""},
        {"named file", "", "", "{folder}/named.ini", 0, true, ""},
        {"log file that cannot be written", "directory = {ok}\nlog_file = {folder}/no/such.log\n",
         "", "", 0, true, ""},
        {"unknown key", "directory = {ok}\n\ncolour = blue\n", "", "", 0, true,
         "Configuration warning: {folder}/register.ini line 3: unknown key \"colour\" ignored"},
        {"a section, ; comments, CRLF and a foreign section",
         "; launcher\r\n[Register]\r\nDirectory = {ok}\r\n[other]\r\ndirectory = {dead}\r\n", "",
         "", 0, true,
         "Configuration warning: {folder}/register.ini line 4: section [other] is not "
         "[register]; its keys are ignored"},
        {"UTF-16LE with a byte-order mark", "directory = {ok}\r\n", "", "", 0, true, "", "utf16le"},
        {"a FIFO", "", "", "", 1, false,
         "Configuration error: {folder}/register.ini: not a regular file", "fifo"},
        {"a folder", "", "", "", 1, false,
         "Configuration error: {folder}/register.ini: not a regular file", "folder"},
        {"a 1 MB file", "", "", "", 1, false,
         "Configuration error: {folder}/register.ini: larger than 64 KiB", "large"},
        {"a FIFO as the log file", "directory = {ok}\n", "", "", 1, false,
         "Configuration error: log file {folder}/log.fifo: not a regular file", "",
         "{folder}/log.fifo"},
        {"a record forged in a variable", "",
         "bad\n2026-12-08T00:00:00.000Z DLL_RegisterUser code 0 directory 127.0.0.1:1", "", 1,
         false, "REGISTER_DIRECTORY: not host:port[,host:port...]: \"bad\\n2026-12-08T"},
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
        const Surroundings around;
        const LibraryCopy& copy = around.copy;
        const auto fill = [&](const std::string& text) { return around.fill(text); };
        ScopedEnvironment environment;
        writeIni(copy, source.iniKind, fill(source.iniText));
        ASSERT_EQ(mkfifo((copy.folder() + "/log.fifo").c_str(), 0600), 0);
        if (!source.logVariable.empty()) {
            environment.set("REGISTER_LOG_FILE", fill(source.logVariable));
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

        const auto started = std::chrono::steady_clock::now();
        EXPECT_EQ(library.registerUser("a", 3, 1, 0, 1, 0), source.code);
        if (source.code != 0) {
            // Refused at once, never held by a FIFO or a large file.
            EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(1));
        }
        const auto [code, log] = library.registerWithLog("a");
        EXPECT_EQ(code, source.code);
        if (source.code == 0) {
            EXPECT_EQ(log,
                      (source.logged.empty() ? "" : fill(source.logged) + "\n") + successLog());
        } else {
            // One line that names the file, the line and the fault, and nothing else.
            EXPECT_NE(log.find(fill(source.logged)), std::string::npos) << log;
            EXPECT_EQ(log.rfind("Configuration error: ", 0), 0u) << log;
            EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;
        }
        EXPECT_EQ(around.dbProxy.registrations().size(), source.registers ? 2u : 0u);
        if (!source.registers) {
            EXPECT_EQ(around.directory->connectionCount() + around.dead->connectionCount(), 0u)
                << "a refused configuration touched the network";
        }
    }
}

TEST(RuntimeConfiguration, AHandleReadsTheFileBesideTheLibraryWhereverTheHostMovesOrIgnoresIt)
{
    struct Row {
        const char* name;
        bool loadedRelatively; // as "./libregister.so.1", then the host moves to "/"
        bool ignore;           // REGISTER_CONFIGURATION_IGNORE, the handle's own directory
        std::string iniText;
        std::string directoryVariable;
    };
    const Row rows[] = {
        {"relative load, then chdir", true, false, "directory = {ok}\n", ""},
        {"broken file and variable ignored", false, true, "deadline_ms = soon\n", "{dead}"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const Surroundings around;
        const LibraryCopy& copy = around.copy;
        const auto fill = [&](const std::string& text) { return around.fill(text); };
        copy.writeFile("register.ini", fill(row.iniText));
        ScopedEnvironment environment;
        if (!row.directoryVariable.empty()) {
            environment.set("REGISTER_DIRECTORY", fill(row.directoryVariable));
        }
        const std::string hostFolder = std::filesystem::current_path().string();
        std::string file = copy.libraryFile();
        if (row.loadedRelatively) {
            std::filesystem::current_path(copy.folder());
            file = "./" + std::filesystem::path(file).filename().string();
        }
        const RegisterFunctions library(file);
        std::filesystem::current_path(row.loadedRelatively ? "/" : hostFolder);
        ASSERT_TRUE(library.complete()) << library.library.error();

        RegisterCall* call = library.create();
        if (row.ignore) {
            EXPECT_EQ(library.setNumber(call, REGISTER_OPTION_CONFIGURATION,
                                        REGISTER_CONFIGURATION_IGNORE),
                      REGISTER_SET_OK);
            EXPECT_EQ(library.setText(call, REGISTER_OPTION_DIRECTORY,
                                      around.directory->endpointText().c_str()),
                      REGISTER_SET_OK);
        }
        EXPECT_EQ(library.run(call, "a", 3, 1, 0, 1), 0);
        EXPECT_EQ(library.text(call, REGISTER_INFO_LOG), successLog());
        EXPECT_EQ(library.text(call, REGISTER_INFO_CONFIGURATION),
                  row.ignore ? "" : copy.folder() + "/register.ini");
        EXPECT_EQ(library.text(call, REGISTER_INFO_DIRECTORY), around.directory->endpointText());
        library.destroy(call);
        std::filesystem::current_path(hostFolder);
        EXPECT_EQ(around.dbProxy.registrations().size(), 1u);
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

namespace {

TEST(RuntimeConfiguration, EveryRecordStartsALineOfItsOwnAndQuotesNothingRaw)
{
    struct Row {
        const char* name;
        std::string logBefore; // what an earlier writer left
        std::string directoryVariable;
        std::int32_t code;
    };
    const std::string forged = "2026-12-08T00:00:00.000Z DLL_RegisterUser code 0 directory x:1";
    const Row rows[] = {
        {"a record forged in a variable", "", "bad\n" + forged, 1},
        {"after a record torn by a full disk", forged + "\nGetting DBPr", "{ok}", 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const Surroundings around;
        const std::string logFile = around.copy.folder() + "/calls.log";
        around.copy.writeFile("calls.log", row.logBefore);
        ScopedEnvironment environment;
        environment.set("REGISTER_LOG_FILE", logFile);
        environment.set("REGISTER_DIRECTORY", around.fill(row.directoryVariable));
        const RegisterFunctions library(REGISTER_LIBRARY_FILE);
        ASSERT_TRUE(library.complete()) << library.library.error();
        EXPECT_EQ(library.registerUser("a", 3, 1, 0, 1, 0), row.code);

        std::ifstream text(logFile);
        const std::regex recordLine(R"(\d{4}-\d\d-\d\dT[\d:.]+Z DLL_RegisterUser code \d .*)");
        int records = 0;
        for (std::string line; std::getline(text, line);) {
            records += std::regex_match(line, recordLine) ? 1 : 0;
        }
        EXPECT_EQ(records, (row.logBefore.empty() ? 0 : 1) + 1)
            << "a record glued to a torn one, or a forged one";
    }
}

} // namespace
