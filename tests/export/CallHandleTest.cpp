// The call handle as a new launcher uses it: options, reasons, progress,
// cancel from another thread, the deadline, and a host thread cancelled
// inside a call.

#include "LoadedRegister.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstddef>
#include <gtest/gtest.h>
#include <iterator>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

using testservice::DBProxyBehaviour;
using testservice::DBProxyServer;
using testservice::DirectoryBehaviour;
using Clock = std::chrono::steady_clock;

const testservice::Endpoint loopback{"127.0.0.1", 0};

struct Fixture : ::testing::Test {
    void SetUp() override { ASSERT_TRUE(library.complete()) << library.library.error(); }
    void TearDown() override { library.destroy(call); }

    ScopedEnvironment environment;
    RegisterFunctions library{REGISTER_LIBRARY_FILE};
    RegisterCall* call = library.create ? library.create() : nullptr;
};

using CallHandle = Fixture;

TEST_F(CallHandle, SettersRefuseWhatCannotWorkAndChangeNothing)
{
    struct Row {
        const char* name;
        std::int32_t option;
        std::int32_t number;
        const char* text;
        std::int32_t expected;
    };
    const Row rows[] = {
        {"zero connect timeout", REGISTER_OPTION_CONNECT_TIMEOUT_MS, 0, nullptr,
         REGISTER_SET_BAD_VALUE},
        {"negative receive timeout", REGISTER_OPTION_RECEIVE_TIMEOUT_MS, -5, nullptr,
         REGISTER_SET_BAD_VALUE},
        {"no deadline", REGISTER_OPTION_DEADLINE_MS, 0, nullptr, REGISTER_SET_OK},
        {"text option as a number", REGISTER_OPTION_DIRECTORY, 5, nullptr,
         REGISTER_SET_UNKNOWN_OPTION},
        {"number option as a text", REGISTER_OPTION_DEADLINE_MS, 0, "5",
         REGISTER_SET_UNKNOWN_OPTION},
        {"directory without a port", REGISTER_OPTION_DIRECTORY, 0, "127.0.0.1",
         REGISTER_SET_BAD_VALUE},
        {"port out of range", REGISTER_OPTION_DIRECTORY, 0, "127.0.0.1:65536",
         REGISTER_SET_BAD_VALUE},
        {"empty list item", REGISTER_OPTION_DIRECTORY, 0, "127.0.0.1:1,", REGISTER_SET_BAD_VALUE},
        {"empty log file", REGISTER_OPTION_LOG_FILE, 0, "", REGISTER_SET_BAD_VALUE},
    };
    ASSERT_EQ(library.setText(call, REGISTER_OPTION_DIRECTORY, "10.0.0.1:6003, 10.0.0.2:6004"),
              REGISTER_SET_OK);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const std::int32_t result = row.text ? library.setText(call, row.option, row.text)
                                             : library.setNumber(call, row.option, row.number);
        EXPECT_EQ(result, row.expected);
        EXPECT_EQ(library.text(call, REGISTER_INFO_DIRECTORY), "10.0.0.1:6003,10.0.0.2:6004");
    }
    EXPECT_EQ(library.setNumber(nullptr, REGISTER_OPTION_DEADLINE_MS, 1), REGISTER_SET_NO_HANDLE);
    EXPECT_EQ(library.run(nullptr, "a", 0, 0, 0, 0), REGISTER_RESULT_INTERNAL_ERROR);
    EXPECT_EQ(library.getText(call, 999, nullptr, 0), -1);

    // Without its own directory the handle shows what the environment sets.
    environment.set("REGISTER_DIRECTORY", "192.0.2.1:7000");
    EXPECT_EQ(library.setText(call, REGISTER_OPTION_DIRECTORY, nullptr), REGISTER_SET_OK);
    EXPECT_EQ(library.text(call, REGISTER_INFO_DIRECTORY), "192.0.2.1:7000");
}

TEST_F(CallHandle, GettersTellAnUnknownInfoOrHandleFromAnyValue)
{
    // Memory that never came from DLL_RegisterCallCreate.
    alignas(std::max_align_t) unsigned char foreign[256] = {};
    auto* notAHandle = reinterpret_cast<RegisterCall*>(foreign);
    std::int32_t unset = 12345;
    const struct {
        const char* name;
        RegisterCall* handle;
        std::int32_t info;
        std::int32_t* value;
        std::int32_t status;
    } rows[] = {
        {"null handle", nullptr, REGISTER_INFO_CODE, &unset, REGISTER_SET_NO_HANDLE},
        {"foreign pointer", notAHandle, REGISTER_INFO_CODE, &unset, REGISTER_SET_NO_HANDLE},
        {"unknown info", call, 999, &unset, REGISTER_SET_UNKNOWN_OPTION},
        {"text info", call, REGISTER_INFO_LOG, &unset, REGISTER_SET_UNKNOWN_OPTION},
        {"null value", call, REGISTER_INFO_CODE, nullptr, REGISTER_SET_BAD_VALUE},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(library.getInfo(row.handle, row.info, row.value), row.status);
        EXPECT_EQ(unset, 12345) << "written on a refusal";
        if (row.status != REGISTER_SET_BAD_VALUE) {
            EXPECT_EQ(library.getNumber(row.handle, row.info), INT32_MIN);
        }
    }
    EXPECT_EQ(library.getInfo(call, REGISTER_INFO_CODE, &unset), REGISTER_SET_OK);
    EXPECT_EQ(unset, -1) << "no Run yet";
    // A foreign pointer is refused by every function and left as it was.
    EXPECT_EQ(library.setNumber(notAHandle, REGISTER_OPTION_DEADLINE_MS, 1),
              REGISTER_SET_NO_HANDLE);
    EXPECT_EQ(library.setProgress(notAHandle, nullptr, nullptr), REGISTER_SET_NO_HANDLE);
    EXPECT_EQ(library.run(notAHandle, "a", 0, 0, 0, 0), REGISTER_RESULT_INTERNAL_ERROR);
    library.cancel(notAHandle);
    library.destroy(notAHandle);
    EXPECT_EQ(std::count(std::begin(foreign), std::end(foreign), 0), 256);
}

template <typename Change> DBProxyBehaviour dbProxyWith(Change change)
{
    return changed<DBProxyBehaviour>(change);
}

template <typename Change> DirectoryBehaviour directoryWith(Change change)
{
    return changed<DirectoryBehaviour>(change);
}

TEST_F(CallHandle, EachReasonComesFromItsOwnEvent)
{
    using DMode = DirectoryBehaviour::Mode;
    using PMode = DBProxyBehaviour::Mode;
    struct Row {
        const char* name;
        DirectoryBehaviour directory;
        DBProxyBehaviour dbProxy;
        std::int32_t code;
        std::int32_t reason;
        std::int16_t serverStatus;
        char serverIs; // 'd' directory, 'p' DBProxy, '-' none
        std::string text = "a";
    };
    const std::string tooLong(70000, 'x');
    const Row rows[] = {
        {"success", {}, {}, 0, REGISTER_REASON_NONE, 0, 'p'},
        {"directory refuses",
         directoryMode(DMode::refuse),
         {},
         2,
         REGISTER_REASON_DIRECTORY_UNREACHABLE,
         0,
         'd'},
        {"directory error",
         directoryWith([](auto& b) { b.status = 0x8001; }),
         {},
         2,
         REGISTER_REASON_DIRECTORY_ERROR,
         -32767,
         'd'},
        {"directory empty",
         directoryWith([](auto& b) { b.entryCount = 0; }),
         {},
         2,
         REGISTER_REASON_DIRECTORY_EMPTY,
         0,
         'd'},
        {"DBProxy closes",
         {},
         dbProxyWith([](auto& b) { b.mode = PMode::closeAtOnce; }),
         4,
         REGISTER_REASON_DBPROXY_UNREACHABLE,
         0,
         'p'},
        {"DBProxy error",
         {},
         dbProxyWith([](auto& b) { b.dbproxyStatus = 0x8002; }),
         4,
         REGISTER_REASON_DBPROXY_ERROR,
         -32766,
         'p'},
        {"database error",
         {},
         dbProxyWith([](auto& b) { b.databaseStatus = 0xFFFF; }),
         4,
         REGISTER_REASON_DATABASE_ERROR,
         -1,
         'p'},
        {"text too long", {}, {}, 4, REGISTER_REASON_TEXT_TOO_LONG, 0, '-', tooLong},
        {"zero modulus",
         {},
         dbProxyWith([](auto& b) { b.zeroModulus = true; }),
         1,
         REGISTER_REASON_INTERNAL,
         0,
         'p'},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        DBProxyServer dbProxy(loopback, row.dbProxy);
        const auto directory = directoryListing({&dbProxy}, row.directory);
        ASSERT_EQ(
            library.setText(call, REGISTER_OPTION_DIRECTORY, directory->endpointText().c_str()),
            REGISTER_SET_OK);
        EXPECT_EQ(library.run(call, row.text.c_str(), 3, 1, 0, 1), row.code)
            << library.text(call, REGISTER_INFO_LOG);
        EXPECT_EQ(library.getNumber(call, REGISTER_INFO_CODE), row.code);
        EXPECT_EQ(library.getNumber(call, REGISTER_INFO_REASON), row.reason);
        EXPECT_EQ(library.getNumber(call, REGISTER_INFO_SERVER_STATUS), row.serverStatus);
        const std::string server = row.serverIs == 'd'   ? directory->endpointText()
                                   : row.serverIs == 'p' ? dbProxy.endpointText()
                                                         : "";
        EXPECT_EQ(library.text(call, REGISTER_INFO_SERVER), server);
        EXPECT_EQ(library.text(call, REGISTER_INFO_RESULT), row.code == 0 ? "OK" : "");
        EXPECT_STRNE(library.reasonText(row.reason), library.reasonText(-1));
    }

    // A refused connection leaves its socket status; a null text is the
    // caller's fault; a bad configuration names itself.
    EXPECT_EQ(library.getNumber(call, REGISTER_INFO_SOCKET_STATUS), 0);
    const auto refusing = directoryListing({}, directoryMode(DMode::refuse));
    library.setText(call, REGISTER_OPTION_DIRECTORY, refusing->endpointText().c_str());
    library.run(call, "a", 0, 0, 0, 0);
    EXPECT_EQ(library.getNumber(call, REGISTER_INFO_SOCKET_STATUS), 10061);
    EXPECT_EQ(library.run(call, nullptr, 0, 0, 0, 0), 1);
    EXPECT_EQ(library.getNumber(call, REGISTER_INFO_REASON), REGISTER_REASON_INVALID_ARGUMENT);
    environment.set("REGISTER_LOG_FILE", "");
    environment.set("REGISTER_CONFIG", "/nonexistent/register.ini");
    EXPECT_EQ(library.run(call, "a", 0, 0, 0, 0), 1);
    EXPECT_EQ(library.getNumber(call, REGISTER_INFO_REASON), REGISTER_REASON_CONFIGURATION);
}

struct ProgressRecord {
    std::vector<std::string> lines;
    std::string cancelAt;
};

int32_t REGISTER_CALL recordProgress(void* context, const char* line, int32_t length)
{
    auto* record = static_cast<ProgressRecord*>(context);
    record->lines.emplace_back(line, static_cast<std::size_t>(length));
    return record->lines.back() == record->cancelAt ? 1 : 0;
}

TEST_F(CallHandle, ProgressLinesAreTheLogLinesAndANonZeroAnswerCancels)
{
    for (const char* cancelAt : {"", "Receiving publickey reply."}) {
        SCOPED_TRACE(cancelAt);
        DBProxyServer dbProxy(loopback);
        const auto directory = directoryListing({&dbProxy});
        library.setText(call, REGISTER_OPTION_DIRECTORY, directory->endpointText().c_str());
        ProgressRecord record{{}, cancelAt};
        library.setProgress(call, recordProgress, &record);
        const std::int32_t code = library.run(call, "a", 3, 1, 0, 1);
        std::string joined;
        for (const std::string& line : record.lines) {
            joined += line + "\n";
        }
        EXPECT_EQ(joined, library.text(call, REGISTER_INFO_LOG));
        if (*cancelAt == '\0') {
            EXPECT_EQ(code, 0);
            EXPECT_EQ(joined, successLog());
        } else {
            EXPECT_EQ(code, REGISTER_RESULT_CANCELLED);
            EXPECT_EQ(record.lines.back(), "Cancelled by the host.");
            // The request went out before the cancel; its server may still
            // be reading it.
            for (int i = 0; i < 200 && dbProxy.keyRequestCount() == 0; ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            EXPECT_EQ(dbProxy.keyRequestCount(), 1u);
            EXPECT_TRUE(dbProxy.registrations().empty()) << "a registration went out";
        }
    }
}

// A progress callback that, at one line, does something to its own handle.
struct Reentry {
    enum class Act { removeCallback, replaceCallback, cancel, destroy, runAgain };
    const RegisterFunctions* library;
    RegisterCall* call;
    Act act;
    int lines = 0;
    int otherLines = 0;
    bool acted = false;
    std::int32_t innerCode = -2;
    std::int32_t innerReason = -2;
};

int32_t REGISTER_CALL countLine(void* context, const char*, int32_t)
{
    ++*static_cast<int*>(context);
    return 0;
}

int32_t REGISTER_CALL reenter(void* context, const char* line, int32_t length)
{
    auto* r = static_cast<Reentry*>(context);
    ++r->lines;
    if (r->acted ||
        std::string(line, static_cast<std::size_t>(length)) != "Receiving publickey reply.") {
        return 0;
    }
    r->acted = true;
    switch (r->act) {
    case Reentry::Act::removeCallback:
        r->library->setProgress(r->call, nullptr, nullptr);
        break;
    case Reentry::Act::replaceCallback:
        r->library->setProgress(r->call, countLine, &r->otherLines);
        break;
    case Reentry::Act::cancel:
        r->library->cancel(r->call);
        break;
    case Reentry::Act::destroy:
        r->library->destroy(r->call);
        break;
    case Reentry::Act::runAgain:
        r->innerCode = r->library->run(r->call, "b", 3, 1, 0, 1);
        r->innerReason = r->library->getNumber(r->call, REGISTER_INFO_REASON);
        break;
    }
    return 0;
}

TEST_F(CallHandle, TheCallbackMayCallAnythingOnItsHandleButASecondRun)
{
    using Act = Reentry::Act;
    const struct {
        const char* name;
        Act act;
        std::int32_t code;
        std::size_t registrations;
    } rows[] = {
        // The Run keeps calling the callback it started with.
        {"remove the callback", Act::removeCallback, REGISTER_RESULT_SUCCESS, 1},
        {"replace the callback", Act::replaceCallback, REGISTER_RESULT_SUCCESS, 1},
        {"cancel", Act::cancel, REGISTER_RESULT_CANCELLED, 0},
        // The handle outlives the callback and goes when Run returns.
        {"destroy", Act::destroy, REGISTER_RESULT_CANCELLED, 0},
        {"run again", Act::runAgain, REGISTER_RESULT_SUCCESS, 1},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        if (call == nullptr) {
            call = library.create();
        }
        DBProxyServer dbProxy(loopback);
        const auto directory = directoryListing({&dbProxy});
        library.setText(call, REGISTER_OPTION_DIRECTORY, directory->endpointText().c_str());
        Reentry reentry{&library, call, row.act};
        library.setProgress(call, reenter, &reentry);
        EXPECT_EQ(library.run(call, "a", 3, 1, 0, 1), row.code);
        EXPECT_TRUE(reentry.acted);
        EXPECT_EQ(dbProxy.registrations().size(), row.registrations);
        if (row.act == Act::destroy) {
            call = nullptr;
            continue;
        }
        const std::string log = library.text(call, REGISTER_INFO_LOG);
        EXPECT_EQ(reentry.lines, std::count(log.begin(), log.end(), '\n'));
        EXPECT_EQ(reentry.otherLines, 0);
        if (row.act == Act::runAgain) {
            EXPECT_EQ(reentry.innerCode, REGISTER_RESULT_INTERNAL_ERROR);
            EXPECT_EQ(reentry.innerReason, REGISTER_REASON_MISUSE);
            EXPECT_EQ(library.getNumber(call, REGISTER_INFO_REASON), REGISTER_REASON_NONE);
        }
        library.setProgress(call, nullptr, nullptr);
    }
}

// A listener whose accept queue is full: a further connect stays unanswered.
class StalledListener {
  public:
    StalledListener()
    {
        listener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
        socklen_t size = sizeof address;
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size);
        port = ntohs(address.sin_port);
        listen(listener, 0);
        for (int i = 0; i < 16; ++i) {
            const int filler = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
            fillers.push_back(filler);
            connect(filler, reinterpret_cast<sockaddr*>(&address), sizeof address);
            pollfd entry{filler, POLLOUT, 0};
            if (poll(&entry, 1, 200) == 0) {
                return; // this one hangs: the queue is full
            }
        }
    }
    ~StalledListener()
    {
        for (const int filler : fillers) {
            close(filler);
        }
        close(listener);
    }
    std::string endpoint() const { return "127.0.0.1:" + std::to_string(port); }

  private:
    int listener = -1;
    std::uint16_t port = 0;
    std::vector<int> fillers;
};

// Runs on a worker thread; returns the code and how long Run took after the
// cancel, which comes once the progress log shows the stalled step.
struct CancelledRun {
    std::int32_t code;
    std::chrono::milliseconds afterCancel;
};

struct WaitForLine {
    std::string line;
    std::atomic<bool> seen{false};
};

int32_t REGISTER_CALL noteLine(void* context, const char* line, int32_t length)
{
    auto* wait = static_cast<WaitForLine*>(context);
    if (std::string(line, static_cast<std::size_t>(length)) == wait->line) {
        wait->seen = true;
    }
    return 0;
}

CancelledRun cancelWhenStalled(const RegisterFunctions& library, RegisterCall* call,
                               const std::string& stalledAt)
{
    WaitForLine wait{stalledAt};
    library.setProgress(call, noteLine, &wait);
    std::int32_t code = -1;
    Clock::time_point returned;
    std::thread runner([&] {
        code = library.run(call, "a", 3, 1, 0, 1);
        returned = Clock::now();
    });
    while (!wait.seen) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    // Into the wait itself, past the line that announced it.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const Clock::time_point cancelled = Clock::now();
    library.cancel(call);
    runner.join();
    library.setProgress(call, nullptr, nullptr);
    return {code, std::chrono::duration_cast<std::chrono::milliseconds>(returned - cancelled)};
}

int triesPerStall()
{
    const char* tries = std::getenv("REGISTER_CANCEL_TRIES");
    return tries != nullptr ? std::atoi(tries) : 3;
}

TEST_F(CallHandle, CancelEndsEveryStalledWaitAtOnceAndClosesTheSocket)
{
    using DMode = DirectoryBehaviour::Mode;
    using PMode = DBProxyBehaviour::Mode;
    struct Stall {
        const char* name;
        DirectoryBehaviour directory;
        PMode dbProxyMode;
        bool connectStalls;
        const char* line;
        const char* peerClosed; // the event of the server that saw the close
    };
    const Stall stalls[] = {
        {"connect", {}, PMode::answer, true, "Connecting to 127.0.0.1", nullptr},
        {"directory reply", directoryMode(DMode::stall), PMode::answer, false,
         "Receiving directory reply.", "peer closed the connection"},
        {"key reply",
         {},
         PMode::stallAtKeyReply,
         false,
         "Receiving publickey reply.",
         "peer closed the connection"},
        {"registration reply",
         {},
         PMode::stallAtRegistrationReply,
         false,
         "Receiving registration reply.",
         "peer closed the connection"},
    };
    std::chrono::milliseconds worst{0};
    for (const Stall& stall : stalls) {
        SCOPED_TRACE(stall.name);
        for (int attempt = 0; attempt < triesPerStall(); ++attempt) {
            EventLog events;
            DBProxyServer dbProxy(
                loopback, dbProxyWith([&](auto& b) { b.mode = stall.dbProxyMode; }), events.sink());
            const auto directory = directoryListing({&dbProxy}, stall.directory, &events);
            const StalledListener stalledListener;
            const std::string endpoint =
                stall.connectStalls ? stalledListener.endpoint() : directory->endpointText();
            library.setText(call, REGISTER_OPTION_DIRECTORY, endpoint.c_str());

            const CancelledRun run = cancelWhenStalled(library, call, stall.line);
            EXPECT_EQ(run.code, REGISTER_RESULT_CANCELLED);
            EXPECT_EQ(library.getNumber(call, REGISTER_INFO_REASON), REGISTER_REASON_CANCELLED);
            const std::string log = library.text(call, REGISTER_INFO_LOG);
            EXPECT_EQ(log.substr(log.rfind(stall.line)),
                      std::string(stall.line) + "\nCancelled by the host.\n");
            if (stall.peerClosed != nullptr) {
                EXPECT_TRUE(events.await(stall.peerClosed));
            }
            EXPECT_LT(run.afterCancel.count(), 250) << "target: 100 ms";
            worst = std::max(worst, run.afterCancel);
        }
    }
    std::printf("worst time from cancel to return: %lld ms\n",
                static_cast<long long>(worst.count()));

    // A cancel with no Run in progress stops the next one before any step.
    library.cancel(call);
    EXPECT_EQ(library.run(call, "a", 0, 0, 0, 0), REGISTER_RESULT_CANCELLED);
    EXPECT_EQ(library.text(call, REGISTER_INFO_LOG), "Cancelled by the host.\n");
    EXPECT_NE(library.run(call, "a", 0, 0, 0, 0), REGISTER_RESULT_CANCELLED)
        << "a cancel outlived the Run that took it";
}

TEST_F(CallHandle, DeadlineEndsTheCallWithTheCodeItsExportKnows)
{
    using PMode = DBProxyBehaviour::Mode;
    struct Row {
        const char* name;
        bool handle;
        bool directoryStalls;
        std::int32_t deadlineMs;
        std::int32_t code;
    };
    const Row rows[] = {
        {"handle", true, false, 1500, REGISTER_RESULT_DEADLINE_EXPIRED},
        {"original export in the lookup", false, true, 300, REGISTER_RESULT_DIRECTORY_FAILED},
        {"original export in the exchange", false, false, 300, REGISTER_RESULT_REGISTRATION_FAILED},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        DBProxyServer dbProxy(
            loopback, dbProxyWith([](auto& b) { b.mode = PMode::stallAtRegistrationReply; }));
        DirectoryBehaviour behaviour;
        if (row.directoryStalls) {
            behaviour.mode = DirectoryBehaviour::Mode::stall;
        }
        const auto directory = directoryListing({&dbProxy}, behaviour);
        const LibraryCopy copy;
        copy.writeFile("deadline.ini", "directory = " + directory->endpointText() +
                                           "\ndeadline_ms = " + std::to_string(row.deadlineMs));
        ScopedEnvironment scoped;
        std::int32_t code = -1;
        const Clock::time_point started = Clock::now();
        if (row.handle) {
            library.setText(call, REGISTER_OPTION_DIRECTORY, directory->endpointText().c_str());
            library.setNumber(call, REGISTER_OPTION_DEADLINE_MS, row.deadlineMs);
            code = library.run(call, "a", 3, 1, 0, 1);
            EXPECT_EQ(library.getNumber(call, REGISTER_INFO_REASON),
                      REGISTER_REASON_DEADLINE_EXPIRED);
        } else {
            scoped.set("REGISTER_CONFIG", copy.folder() + "/deadline.ini");
            const auto [plainCode, log] = library.registerWithLog("a");
            code = plainCode;
            EXPECT_EQ(log.substr(log.size() - 18), "Deadline expired.\n");
        }
        const auto took =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started);
        EXPECT_EQ(code, row.code);
        EXPECT_GE(took.count(), row.deadlineMs - 10);
        EXPECT_LT(took.count(), row.deadlineMs + 300) << "target: deadline + 100 ms";
        std::printf("%s: returned after %lld ms\n", row.name, static_cast<long long>(took.count()));
    }
}

TEST_F(CallHandle, HostThreadCancelledInsideACallLeavesTheProcessRunning)
{
    const auto directory = directoryListing({}, directoryMode(DirectoryBehaviour::Mode::stall));
    const LibraryCopy copy;
    copy.writeFile("stall.ini",
                   "directory = " + directory->endpointText() + "\nreceive_timeout_ms = 300\n");
    environment.set("REGISTER_CONFIG", copy.folder() + "/stall.ini");
    struct Shared {
        const RegisterFunctions* library;
        std::atomic<int> code{-1};
    } shared{&library};
    pthread_t host{};
    ASSERT_EQ(pthread_create(
                  &host, nullptr,
                  [](void* context) -> void* {
                      auto* s = static_cast<Shared*>(context);
                      s->code = s->library->registerUser("a", 0, 0, 0, 0, 0);
                      // The deferred cancel takes effect at the first point
                      // after the call.
                      pthread_testcancel();
                      return nullptr;
                  },
                  &shared),
              0);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_EQ(pthread_cancel(host), 0);
    void* exit = nullptr;
    ASSERT_EQ(pthread_join(host, &exit), 0);
    EXPECT_EQ(exit, PTHREAD_CANCELED);
    EXPECT_EQ(shared.code, REGISTER_RESULT_DIRECTORY_FAILED) << "the call did not run to its end";
}

TEST_F(CallHandle, AnotherThreadMayDestroyARunningHandleButNotRunItAgain)
{
    for (const bool destroy : {true, false}) {
        SCOPED_TRACE(destroy ? "destroy" : "run again");
        if (call == nullptr) {
            call = library.create();
        }
        DBProxyServer dbProxy(loopback, dbProxyWith([](auto& b) {
                                  b.mode = DBProxyBehaviour::Mode::stallAtRegistrationReply;
                              }));
        const auto directory = directoryListing({&dbProxy});
        library.setText(call, REGISTER_OPTION_DIRECTORY, directory->endpointText().c_str());
        WaitForLine wait{"Receiving registration reply."};
        library.setProgress(call, noteLine, &wait);
        std::int32_t code = -1;
        std::thread runner([&] { code = library.run(call, "a", 3, 1, 0, 1); });
        // The client logs its wait for the reply as soon as it has sent the
        // registration; the service records it only once decrypted, which
        // on a slow machine (an emulator) comes later.
        for (int waited = 0; (!wait.seen || dbProxy.registrations().empty()) && waited < 4000;
             ++waited) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        if (destroy) {
            library.destroy(call);
        } else {
            EXPECT_EQ(library.run(call, "b", 3, 1, 0, 1), REGISTER_RESULT_INTERNAL_ERROR);
            EXPECT_EQ(library.getNumber(call, REGISTER_INFO_REASON), REGISTER_REASON_MISUSE);
            library.cancel(call);
        }
        runner.join();
        EXPECT_EQ(code, REGISTER_RESULT_CANCELLED);
        EXPECT_EQ(dbProxy.registrations().size(), 1u);
        if (destroy) {
            call = nullptr;
        } else {
            library.setProgress(call, nullptr, nullptr);
        }
    }
}

} // namespace
