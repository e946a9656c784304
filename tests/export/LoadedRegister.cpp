#include "LoadedRegister.h"

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>
#include <unistd.h>

namespace {

const char* const configurationVariables[] = {"REGISTER_CONFIG", "REGISTER_DIRECTORY",
                                              "REGISTER_LOG_FILE"};

} // namespace

RegisterFunctions::RegisterFunctions(const std::string& file)
    : library(file), registerUser(library.function<decltype(registerUser)>("DLL_RegisterUser")),
      registerUserEx(library.function<decltype(registerUserEx)>("DLL_RegisterUserEx")),
      create(library.function<decltype(create)>("DLL_RegisterCallCreate")),
      destroy(library.function<decltype(destroy)>("DLL_RegisterCallDestroy")),
      setNumber(library.function<decltype(setNumber)>("DLL_RegisterCallSetNumber")),
      setText(library.function<decltype(setText)>("DLL_RegisterCallSetText")),
      setProgress(library.function<decltype(setProgress)>("DLL_RegisterCallSetProgress")),
      run(library.function<decltype(run)>("DLL_RegisterCallRun")),
      cancel(library.function<decltype(cancel)>("DLL_RegisterCallCancel")),
      getNumber(library.function<decltype(getNumber)>("DLL_RegisterCallGetNumber")),
      getInfo(library.function<decltype(getInfo)>("DLL_RegisterCallGetInfo")),
      getText(library.function<decltype(getText)>("DLL_RegisterCallGetText")),
      resultText(library.function<decltype(resultText)>("DLL_RegisterResultText")),
      reasonText(library.function<decltype(reasonText)>("DLL_RegisterReasonText")),
      version(library.function<decltype(version)>("DLL_RegisterVersion")),
      versionNumber(library.function<decltype(versionNumber)>("DLL_RegisterVersionNumber"))
{
}

bool RegisterFunctions::complete() const
{
    return registerUser && registerUserEx && create && destroy && setNumber && setText &&
           setProgress && run && cancel && getNumber && getInfo && getText && resultText &&
           reasonText && version && versionNumber;
}

std::string RegisterFunctions::text(RegisterCall* call, std::int32_t info) const
{
    const std::int32_t length = getText(call, info, nullptr, 0);
    if (length < 0) {
        return "<unknown info>";
    }
    std::string value(static_cast<std::size_t>(length) + 1, '#');
    getText(call, info, value.data(), length + 1);
    value.resize(static_cast<std::size_t>(length));
    return value;
}

std::pair<std::int32_t, std::string> RegisterFunctions::registerWithLog(const char* text) const
{
    std::vector<char> log(1 << 16);
    std::int32_t logLength = 0;
    const std::int32_t code = registerUserEx(text, 3, 1, 0, 1, 0, nullptr, 0, nullptr, log.data(),
                                             static_cast<std::int32_t>(log.size()), &logLength);
    return {code, std::string(log.data(), static_cast<std::size_t>(logLength))};
}

ScopedEnvironment::ScopedEnvironment()
{
    for (const char* name : configurationVariables) {
        const char* value = std::getenv(name);
        saved.emplace_back(name, value ? std::optional<std::string>(value) : std::nullopt);
        unsetenv(name);
    }
}

ScopedEnvironment::~ScopedEnvironment()
{
    for (const auto& [name, value] : saved) {
        if (value) {
            setenv(name.c_str(), value->c_str(), 1);
        } else {
            unsetenv(name.c_str());
        }
    }
}

void ScopedEnvironment::set(const char* name, const std::string& value)
{
    const char* old = std::getenv(name);
    saved.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
    setenv(name, value.c_str(), 1);
}

LibraryCopy::LibraryCopy()
{
    std::string pattern =
        (std::filesystem::temp_directory_path() / "register-interface-XXXXXX").string();
    directory = mkdtemp(pattern.data());
    std::filesystem::copy_file(REGISTER_LIBRARY_FILE, libraryFile());
}

LibraryCopy::~LibraryCopy()
{
    std::error_code ignored;
    std::filesystem::remove_all(directory, ignored);
}

std::string LibraryCopy::libraryFile() const
{
    return directory + "/" + std::filesystem::path(REGISTER_LIBRARY_FILE).filename().string();
}

void LibraryCopy::writeFile(const std::string& name, const std::string& text) const
{
    std::ofstream(directory + "/" + name) << text;
}

testservice::LogSink EventLog::sink()
{
    return [this](const std::string& line) {
        std::lock_guard lock(guard);
        events.push_back(line);
    };
}

std::vector<std::string> EventLog::lines() const
{
    std::lock_guard lock(guard);
    return events;
}

bool EventLog::await(const std::string& text) const
{
    for (int i = 0; i < 300; ++i) {
        for (const std::string& line : lines()) {
            if (line.find(text) != std::string::npos) {
                return true;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

std::unique_ptr<testservice::DirectoryServer>
directoryListing(std::vector<const testservice::DBProxyServer*> dbProxies,
                 testservice::DirectoryBehaviour behaviour, EventLog* events)
{
    std::vector<testservice::DirectoryEntry> entries;
    for (const auto* server : dbProxies) {
        entries.push_back({"DBProxy", server->port(), server->address()});
    }
    return std::make_unique<testservice::DirectoryServer>(
        testservice::Endpoint{"127.0.0.1", 0}, entries, behaviour,
        events != nullptr ? events->sink() : testservice::LogSink{});
}

std::string successLog()
{
    return "Getting DBProxy Addrs\n"
           "Connecting to 127.0.0.1\n"
           "Sending get directory request.\n"
           "Receiving directory reply.\n"
           "Sending registration information.\n"
           "Connecting to 127.0.0.1\n"
           "Sending public key request.\n"
           "Receiving publickey reply.\n"
           "Sending registration message.\n"
           "Receiving registration reply.\n";
}
