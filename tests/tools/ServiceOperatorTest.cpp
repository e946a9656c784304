// What an operator sees and sets: the addresses the directory lists for a
// service bound to every interface, and log lines that name the time and the
// client and keep the user's text and session key out unless verbose.
#include "LoopbackService.h"
#include "test-service/ServiceOptions.h"

#include <gtest/gtest.h>
#include <mutex>
#include <regex>

namespace {

using namespace testservice;

TEST(ServiceOperator, WildcardDBProxyIsListedUnderTheAdvertisedAddressOrRefused)
{
    struct Case {
        std::vector<std::string> args;
        const char* listed; // null: the command line is refused
    };
    const Case cases[] = {
        {{"--directory", "0.0.0.0:6003", "--dbproxy", "0.0.0.0:7001"}, nullptr},
        {{"--directory", "0.0.0.0:6003", "--dbproxy", "0.0.0.0:7001", "--advertise",
          "192.168.1.20"},
         "192.168.1.20"},
        {{"--directory", "127.0.0.1:6003", "--dbproxy", "127.0.0.1:7001", "--advertise",
          "192.168.1.20"},
         "127.0.0.1"},
        {{"--dbproxy", "0.0.0.0:7001", "--advertise", "0.0.0.0"}, nullptr},
        // A listed entry is the operator's own choice, 0.0.0.0 included.
        {{"--directory", "127.0.0.1:6003", "--dbproxy", "0.0.0.0:7001", "--list", "0.0.0.0:7001"},
         "0.0.0.0"},
        // A result whose reply cannot fit even for an empty text.
        {{"--dbproxy", "127.0.0.1:7001", "--result", std::string(65521, 'r')}, nullptr},
        {{"--dbproxy", "127.0.0.1:7001", "--result", std::string(65520, 'r') + "{id}"}, nullptr},
        {{"--dbproxy", "127.0.0.1:7001", "--result", std::string(65520, 'r')}, "127.0.0.1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.back().substr(0, 40));
        if (c.listed == nullptr) {
            EXPECT_THROW(parseServiceOptions(c.args), std::invalid_argument);
            continue;
        }
        const ServiceOptions options = *parseServiceOptions(c.args);
        const std::vector<DirectoryEntry> listed =
            options.listGiven ? options.listed : defaultListing(options, options.dbproxies);
        ASSERT_EQ(listed.size(), 1u);
        EXPECT_EQ(listed[0].address, c.listed);
        EXPECT_EQ(listed[0].port, 7001);
    }
}

TEST(ServiceOperator, LogLinesNameTimeAndClientAndShowTheTextOnlyWhenVerbose)
{
    const std::regex prefix(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z 127\.0\.0\.1:\d+ )"
                            R"((directory|dbproxy) 127\.0\.0\.1:\d+: )");
    for (const bool verbose : {false, true}) {
        SCOPED_TRACE(verbose ? "verbose" : "quiet");
        std::mutex guard;
        std::vector<std::string> lines;
        ServerOptions options;
        options.verbose = verbose;
        DBProxyBehaviour behaviour;
        const std::string pattern = "welcome {text}";
        behaviour.result.assign(pattern.begin(), pattern.end());
        auto store = std::make_shared<RegistrationStore>(freshPath("log.db"));
        {
            const LoopbackService service(behaviour, options, store, [&](const std::string& line) {
                std::lock_guard lock(guard);
                lines.push_back(line);
            });
            ASSERT_EQ(service.registerText("private@example.com").code, 0);
        }
        ASSERT_GE(lines.size(), 6u);
        bool keyShown = false;
        bool textShown = false;
        for (const std::string& line : lines) {
            EXPECT_TRUE(std::regex_search(line, prefix)) << line;
            keyShown = keyShown || line.find("symmetric key") != std::string::npos;
            textShown = textShown || line.find("private@") != std::string::npos;
        }
        EXPECT_EQ(keyShown, verbose);
        EXPECT_EQ(textShown, verbose);
    }
}

} // namespace
