// register.dll under Wine against native test services on loopback: the
// run-time configuration as a launcher sets it up, and the call handle's
// cancel and deadline. run-with-services.sh starts the services and names
// each one NAME to this program in WINDOWS_TEST_NAME_DIRECTORY (its directory
// server) and WINDOWS_TEST_NAME_OUTPUT (the file its report goes to), and
// gives it an empty folder in WINDOWS_TEST_FOLDER.

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <iostream>
#include <memory>
#include <regex>
#include <register/register.h>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>
#include <windows.h>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

std::string variable(const std::string& name)
{
    const char* value = std::getenv(name.c_str());
    return value == nullptr ? std::string() : std::string(value);
}

long long millisecondsBetween(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration_cast<milliseconds>(to - from).count();
}

class Service {
  public:
    explicit Service(const std::string& name)
        : directory(variable("WINDOWS_TEST_" + name + "_DIRECTORY")),
          output(variable("WINDOWS_TEST_" + name + "_OUTPUT"))
    {
    }

    bool started() const { return !directory.empty() && !output.empty(); }

    // The service writes each event as it happens, so a line may still be on
    // its way when the library returns.
    bool reports(const std::string& text) const
    {
        const Clock::time_point end = Clock::now() + milliseconds(5000);
        do {
            std::ifstream file(output);
            std::string line;
            while (std::getline(file, line)) {
                if (line.find(text) != std::string::npos) {
                    return true;
                }
            }
            std::this_thread::sleep_for(milliseconds(20));
        } while (Clock::now() < end);
        return false;
    }

    const std::string directory;
    const std::string output;
};

// A launcher sets these in its own process before it calls the library.
class ScopedVariable {
  public:
    ScopedVariable(const char* variableName, const char* value) : name(variableName)
    {
        SetEnvironmentVariableA(name, value);
    }
    ~ScopedVariable() { SetEnvironmentVariableA(name, nullptr); }
    ScopedVariable(const ScopedVariable&) = delete;
    ScopedVariable& operator=(const ScopedVariable&) = delete;

  private:
    const char* name;
};

using Call = std::unique_ptr<RegisterCall, decltype(&DLL_RegisterCallDestroy)>;

Call callTo(const Service& service)
{
    Call call(DLL_RegisterCallCreate(), &DLL_RegisterCallDestroy);
    if (call && DLL_RegisterCallSetText(call.get(), REGISTER_OPTION_DIRECTORY,
                                        service.directory.c_str()) != REGISTER_SET_OK) {
        call.reset();
    }
    return call;
}

struct FreeModule {
    void operator()(HMODULE module) const { FreeLibrary(module); }
};

// Declared with the header's convention, which on 32-bit Windows is
// __stdcall: a library calling it any other way leaves its stack off by the
// arguments' bytes after every line.
std::int32_t REGISTER_CALL collectLine(void* context, const char* line, std::int32_t length)
{
    static_cast<std::string*>(context)->append(line, static_cast<std::size_t>(length)) += '\n';
    return 0;
}

std::string logOf(RegisterCall* call)
{
    std::string log(
        static_cast<std::size_t>(DLL_RegisterCallGetText(call, REGISTER_INFO_LOG, nullptr, 0)),
        '\0');
    // The zero byte written after the text lands on the string's own one.
    DLL_RegisterCallGetText(call, REGISTER_INFO_LOG, log.data(),
                            static_cast<std::int32_t>(log.size() + 1));
    return log;
}

const char* const decodedRecord = "text \"a\\x00\" (2 bytes); setting 3; flags 1 0 1;";

TEST(RegisterDllService, PlainCallRegistersWithTheConfiguredDirectory)
{
    // Unconfigured, the DLL asks its compiled-in directory endpoints on
    // 127.0.0.1:6003, where another test's service may answer; only the named
    // service's own report shows that the configuration was read.
    const struct {
        const char* how;
        const char* service;
        bool besideLibrary;
    } cases[] = {
        {"REGISTER_DIRECTORY", "ENVIRONMENT", false},
        {"register.ini beside a copy of the DLL", "INI", true},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.how);
        const Service service(row.service);
        ASSERT_TRUE(service.started()) << "run through run-with-services.sh";
        const ScopedVariable noFile("REGISTER_CONFIG", nullptr);
        const ScopedVariable directory("REGISTER_DIRECTORY",
                                       row.besideLibrary ? nullptr : service.directory.c_str());

        auto* registerUser = &DLL_RegisterUser;
        std::unique_ptr<std::remove_pointer_t<HMODULE>, FreeModule> copy;
        if (row.besideLibrary) {
            char original[MAX_PATH] = {};
            ASSERT_GT(GetModuleFileNameA(GetModuleHandleA("register.dll"), original, MAX_PATH), 0u);
            const std::string folder = variable("WINDOWS_TEST_FOLDER") + "\\beside";
            ASSERT_TRUE(CreateDirectoryA(folder.c_str(), nullptr)) << folder;
            const std::string library = folder + "\\register.dll";
            ASSERT_TRUE(CopyFileA(original, library.c_str(), TRUE)) << library;
            std::ofstream(folder + "\\register.ini") << "directory = " << service.directory << "\n";
            copy.reset(LoadLibraryA(library.c_str()));
            ASSERT_NE(copy.get(), nullptr) << library;
            ASSERT_NE(copy.get(), GetModuleHandleA(original)) << "the loader reused the original";
            registerUser = reinterpret_cast<decltype(registerUser)>(
                reinterpret_cast<void (*)()>(GetProcAddress(copy.get(), "DLL_RegisterUser")));
            ASSERT_NE(registerUser, nullptr);
        }
        EXPECT_EQ(registerUser("a", 3, 1, 0, 1, 0), REGISTER_RESULT_SUCCESS);
        EXPECT_TRUE(service.reports(decodedRecord)) << "no registration reached " << service.output;
    }
}

TEST(RegisterDllService, CancelEndsARunStalledOnTheDirectoryReply)
{
    const Service service("STALLED_DIRECTORY");
    ASSERT_TRUE(service.started()) << "run through run-with-services.sh";
    const Call call = callTo(service);
    ASSERT_NE(call, nullptr);

    std::int32_t code = -1;
    Clock::time_point returned;
    std::thread worker([&] {
        code = DLL_RegisterCallRun(call.get(), "a", 3, 1, 0, 1);
        returned = Clock::now();
    });
    // Cancel from another thread while the Run waits in the reply's receive,
    // not before its request has gone out.
    const bool stalled = service.reports("stalling without a reply");
    std::this_thread::sleep_for(milliseconds(300));
    const Clock::time_point cancelled = Clock::now();
    DLL_RegisterCallCancel(call.get());
    worker.join();
    ASSERT_TRUE(stalled) << "the directory request never arrived";

    const long long cancelToReturn = millisecondsBetween(cancelled, returned);
    std::cout << "cancel to return: " << cancelToReturn << " ms\n";
    EXPECT_EQ(code, REGISTER_RESULT_CANCELLED);
    EXPECT_EQ(DLL_RegisterCallGetNumber(call.get(), REGISTER_INFO_REASON),
              REGISTER_REASON_CANCELLED);
    // The header promises 100 ms; Wine on a loaded machine is allowed ten times
    // that, still far below the 20 s receive timeout a missed cancel waits out.
    EXPECT_LT(cancelToReturn, 1000);
    EXPECT_TRUE(service.reports("peer closed the connection")) << "the socket was left open";
}

TEST(RegisterDllService, DeadlineEndsARunStalledOnTheRegistrationReply)
{
    const Service service("STALLED_DBPROXY");
    ASSERT_TRUE(service.started()) << "run through run-with-services.sh";
    const Call call = callTo(service);
    ASSERT_NE(call, nullptr);
    ASSERT_EQ(DLL_RegisterCallSetNumber(call.get(), REGISTER_OPTION_DEADLINE_MS, 1500),
              REGISTER_SET_OK);
    std::string progress;
    ASSERT_EQ(DLL_RegisterCallSetProgress(call.get(), &collectLine, &progress), REGISTER_SET_OK);

    const Clock::time_point started = Clock::now();
    const std::int32_t code = DLL_RegisterCallRun(call.get(), "a", 3, 1, 0, 1);
    const long long elapsed = millisecondsBetween(started, Clock::now());
    std::cout << "deadline 1500 ms: returned after " << elapsed << " ms\n";

    EXPECT_EQ(code, REGISTER_RESULT_DEADLINE_EXPIRED);
    EXPECT_EQ(DLL_RegisterCallGetNumber(call.get(), REGISTER_INFO_REASON),
              REGISTER_REASON_DEADLINE_EXPIRED);
    // Not early, and not the 20 s receive timeout either; the upper bound
    // leaves room for Wine on a loaded machine.
    EXPECT_GE(elapsed, 1400);
    EXPECT_LT(elapsed, 3000);
    EXPECT_TRUE(service.reports("stalling without a registration reply"))
        << "the deadline struck before the registration went out";
    EXPECT_TRUE(service.reports("peer closed the connection")) << "the socket was left open";
    // The longest Run here, so the callback is called through every step.
    EXPECT_EQ(progress, logOf(call.get()));
    EXPECT_NE(progress.find("Sending registration message."), std::string::npos) << progress;
}

TEST(RegisterDllService, LogFileHoldsOneWholeRecordPerCallFromManyThreads)
{
    const Service service("LOGGED");
    ASSERT_TRUE(service.started()) << "run through run-with-services.sh";
    const std::string logFile = variable("WINDOWS_TEST_FOLDER") + "\\calls.log";
    const ScopedVariable noFile("REGISTER_CONFIG", nullptr);
    const ScopedVariable directory("REGISTER_DIRECTORY", service.directory.c_str());
    const ScopedVariable log("REGISTER_LOG_FILE", logFile.c_str());

    constexpr int threads = 8;
    constexpr int callsEach = 5;
    std::vector<std::thread> callers;
    for (int t = 0; t < threads; ++t) {
        callers.emplace_back([] {
            for (int i = 0; i < callsEach; ++i) {
                EXPECT_EQ(DLL_RegisterUser("a", 3, 1, 0, 1, 0), REGISTER_RESULT_SUCCESS);
            }
        });
    }
    for (std::thread& caller : callers) {
        caller.join();
    }

    // A record is its first line, its progress lines and one empty line. A
    // line feed put before a record that did not need one shows as an empty
    // line where a first line belongs; records written into each other show
    // as a first line among another's progress lines.
    const std::regex firstLine(R"(\d{4}-\d\d-\d\dT[\d:.]+Z DLL_RegisterUser code 0 )"
                               R"(directory 127\.0\.0\.1:\d+\r?)");
    std::ifstream text(logFile);
    int records = 0;
    bool inRecord = false;
    for (std::string line; std::getline(text, line);) {
        const bool first = std::regex_match(line, firstLine);
        if (!inRecord) {
            ASSERT_TRUE(first) << "record " << records << " starts with: " << line;
            ++records;
            inRecord = true;
        } else {
            ASSERT_FALSE(first) << "record " << records << " holds another's first line";
            inRecord = !line.empty() && line != "\r";
        }
    }
    EXPECT_FALSE(inRecord) << "the last record is cut";
    EXPECT_EQ(records, threads * callsEach);
}

} // namespace
