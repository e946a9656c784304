#include "LibraryLoader.h"
#include "registration/ExchangeScenarios.h"

#include <cstring>
#include <gtest/gtest.h>
#include <memory>
#include <register/register.h>

namespace {

using namespace scenarios;
using testservice::DirectoryEntry;
using testservice::DirectoryServer;

using RegisterUser = decltype(&DLL_RegisterUser);
using RegisterUserEx = decltype(&DLL_RegisterUserEx);

// The library as a host sees it, with the directory servers it was built
// for standing on loopback.
class ExportedDriver : public Driver {
  public:
    ExportedDriver()
        : library(REGISTER_LIBRARY_FILE),
          registerUser(library.function<RegisterUser>("DLL_RegisterUser")),
          registerUserEx(library.function<RegisterUserEx>("DLL_RegisterUserEx"))
    {
    }

    bool ready() const { return registerUser != nullptr && registerUserEx != nullptr; }
    const std::string& loadError() const { return library.error(); }

    void listEntries(const std::vector<DirectoryEntry>& entries) override
    {
        for (auto& directory : directories) {
            if (directory) {
                directory->setEntries(entries);
            }
        }
    }

    Outcome call(const Call& call) override
    {
        // One call, so that the servers see one registration per scenario
        // step; a result string never exceeds 65,535 bytes.
        std::vector<char> result(65536, '#');
        std::vector<char> log(1 << 20, '#');
        int32_t resultLength = -1;
        int32_t logLength = -1;
        Outcome outcome;
        outcome.code =
            callEx(call, result.data(), static_cast<int32_t>(result.size()), &resultLength,
                   log.data(), static_cast<int32_t>(log.size()), &logLength);
        const auto resultSize = static_cast<std::size_t>(resultLength);
        const auto logSize = static_cast<std::size_t>(logLength);
        EXPECT_LT(resultSize, result.size());
        EXPECT_LT(logSize, log.size());
        EXPECT_EQ(result[resultSize], '\0');
        EXPECT_EQ(log[logSize], '\0');
        outcome.result.assign(result.begin(), result.begin() + resultLength);
        outcome.log.assign(log.begin(), log.begin() + logLength);
        return outcome;
    }

    std::int32_t callPlain(const Call& call) override
    {
        return registerUser(call.text.c_str(), call.setting, call.flag1, call.flag2, call.flag3, 0);
    }

    bool hasShortTimeouts() const override { return false; }

    int32_t callEx(const Call& call, char* result, int32_t resultCapacity, int32_t* resultLength,
                   char* log, int32_t logCapacity, int32_t* logLength)
    {
        return registerUserEx(call.text.c_str(), call.setting, call.flag1, call.flag2, call.flag3,
                              0, result, resultCapacity, resultLength, log, logCapacity, logLength);
    }

    int32_t rawEx(const char* text, char* log, int32_t logCapacity, int32_t* logLength)
    {
        return registerUserEx(text, 0, 0, 0, 0, 0, nullptr, 0, nullptr, log, logCapacity,
                              logLength);
    }

    std::size_t directoryConnections() const
    {
        return directories[0]->connectionCount() + directories[1]->connectionCount();
    }

    void stopDirectories()
    {
        for (auto& directory : directories) {
            directory.reset();
        }
    }

  private:
    LoadedLibrary library;
    RegisterUser registerUser;
    RegisterUserEx registerUserEx;
    std::unique_ptr<DirectoryServer> directories[2] = {
        std::make_unique<DirectoryServer>(testservice::Endpoint{"127.0.0.1", 6003},
                                          std::vector<DirectoryEntry>{}),
        std::make_unique<DirectoryServer>(testservice::Endpoint{"127.0.0.2", 6003},
                                          std::vector<DirectoryEntry>{})};
};

struct EndToEnd : ::testing::Test {
    void SetUp() override { ASSERT_TRUE(driver.ready()) << driver.loadError(); }
    ExportedDriver driver;
};

struct EndToEndScenario : EndToEnd, ::testing::WithParamInterface<Scenario> {};

TEST_P(EndToEndScenario, Runs)
{
    GetParam().run(driver);
}

INSTANTIATE_TEST_SUITE_P(Scenarios, EndToEndScenario, ::testing::ValuesIn(allScenarios()),
                         [](const auto& tested) { return std::string(tested.param.name); });

TEST_F(EndToEnd, BothDirectoryServersDownGivesCode2)
{
    driver.stopDirectories();
    const Outcome outcome = driver.call({});
    EXPECT_EQ(outcome.code, REGISTER_RESULT_DIRECTORY_FAILED);
    EXPECT_EQ(outcome.log, "Getting DBProxy Addrs\n"
                           "Connecting to 127.0.0.1\n"
                           "Socket error: ES_WSAECONNREFUSED\n"
                           "Connecting to 127.0.0.2\n"
                           "Socket error: ES_WSAECONNREFUSED\n"
                           "Failed all directory servers.\n");
    EXPECT_EQ(driver.callPlain({}), REGISTER_RESULT_DIRECTORY_FAILED);
}

TEST_F(EndToEnd, BuffersTooSmallGetATerminatedPrefixAndTheFullLengths)
{
    DBProxyServer server(loopback, [] {
        testservice::DBProxyBehaviour b;
        b.result = {'r', 'e', 's', 'u', 'l', 't'};
        return b;
    }());
    driver.listDBProxies({&server});
    const Outcome whole = driver.call({});
    ASSERT_EQ(whole.code, 0);

    struct Case {
        int32_t capacity;
        std::size_t copied;
    };
    for (const Case c : {Case{1, 0}, Case{2, 1}, Case{6, 5}, Case{7, 6}, Case{64, 6}}) {
        SCOPED_TRACE(c.capacity);
        std::vector<char> result(static_cast<std::size_t>(c.capacity) + 1, '#');
        std::vector<char> log(static_cast<std::size_t>(c.capacity) + 1, '#');
        int32_t resultLength = -1;
        int32_t logLength = -1;
        EXPECT_EQ(driver.callEx({}, result.data(), c.capacity, &resultLength, log.data(),
                                c.capacity, &logLength),
                  0);
        EXPECT_EQ(resultLength, 6);
        EXPECT_EQ(static_cast<std::size_t>(logLength), whole.log.size());
        EXPECT_EQ(std::string(result.data()), std::string("result").substr(0, c.copied));
        EXPECT_EQ(std::string(log.data()),
                  whole.log.substr(0, static_cast<std::size_t>(c.capacity) - 1));
        EXPECT_EQ(result[static_cast<std::size_t>(c.capacity)], '#') << "wrote past the capacity";
        EXPECT_EQ(log[static_cast<std::size_t>(c.capacity)], '#') << "wrote past the capacity";
    }
}

TEST_F(EndToEnd, NullTextIsAnInternalErrorWithoutAConnection)
{
    DBProxyServer server(loopback);
    driver.listDBProxies({&server});
    char log[8] = "#######";
    int32_t logLength = -1;
    EXPECT_EQ(driver.rawEx(nullptr, log, 8, &logLength), REGISTER_RESULT_INTERNAL_ERROR);
    EXPECT_EQ(logLength, 0);
    EXPECT_EQ(log[0], '\0');
    EXPECT_EQ(driver.directoryConnections(), 0u);
    EXPECT_EQ(server.keyRequestCount(), 0u);
}

} // namespace
