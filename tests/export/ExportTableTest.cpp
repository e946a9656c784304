// The shared library's face: exactly the functions the public header
// declares, loadable by file name, and safe with the inputs a careless host
// passes.

#include "LibraryLoader.h"

#include <cstdio>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <regex>
#include <register/register.h>
#include <set>
#include <sstream>
#include <string>

namespace {

std::set<std::string> declaredFunctions()
{
    std::ifstream header(REGISTER_PUBLIC_HEADER);
    std::stringstream text;
    text << header.rdbuf();
    const std::string source = text.str();
    const std::regex declaration(R"(REGISTER_CALL\s+(\w+)\s*\()");
    std::set<std::string> names;
    for (std::sregex_iterator it(source.begin(), source.end(), declaration), end; it != end; ++it) {
        names.insert((*it)[1]);
    }
    return names;
}

// The dynamic symbol table's names, without versions: those it defines
// (--defined-only) or those it needs (--undefined-only), whatever their kind.
std::set<std::string> dynamicSymbols(const char* which)
{
    const std::string command = std::string("nm -D ") + which + " '" + REGISTER_LIBRARY_FILE + "'";
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    std::set<std::string> names;
    if (!pipe) {
        return names;
    }
    char line[512];
    while (std::fgets(line, sizeof line, pipe.get()) != nullptr) {
        std::istringstream fields(line);
        std::string first, second, third;
        fields >> first >> second >> third;
        // An undefined symbol has no address: "U name".
        const std::string& name = third.empty() ? second : third;
        if (!name.empty()) {
            names.insert(name.substr(0, name.find('@')));
        }
    }
    return names;
}

TEST(ExportTable, HoldsExactlyTheFunctionsOfThePublicHeader)
{
    const std::set<std::string> declared = declaredFunctions();
    ASSERT_TRUE(declared.count("DLL_RegisterUser")) << "header not parsed";
    EXPECT_EQ(dynamicSymbols("--defined-only"), declared);
}

TEST(ExportTable, FileCallsTakeSixtyFourBitOffsets)
{
    // A 32-bit build with 32-bit file offsets cannot open a log file past
    // 2 GiB (EOVERFLOW from a 32-bit kernel or compat mode), and so stops
    // logging for good. With 64-bit offsets glibc names the calls with "64"
    // on every architecture.
    const std::set<std::string> imported = dynamicSymbols("--undefined-only");
    ASSERT_TRUE(imported.count("open64")) << "no file opened with 64-bit offsets";
    for (const char* call :
         {"open", "openat", "creat", "fopen", "stat", "fstat", "lstat", "fstatat", "statvfs",
          "fstatvfs", "lseek", "pread", "pwrite", "ftruncate", "truncate", "readdir"}) {
        EXPECT_EQ(imported.count(call), 0u) << call << " takes 32-bit offsets";
    }
}

TEST(ExportTable, VersionNumberIsTheHeadersAndTheTextsVersion)
{
    // A header and a library from different builds, or a version text and a
    // number that were bumped apart, would mislead a host's start-up check.
    LoadedLibrary library(REGISTER_LIBRARY_FILE);
    ASSERT_TRUE(library.isLoaded()) << library.error();
    const auto number =
        library.function<decltype(&DLL_RegisterVersionNumber)>("DLL_RegisterVersionNumber");
    const auto text = library.function<decltype(&DLL_RegisterVersion)>("DLL_RegisterVersion");
    ASSERT_TRUE(number && text);
    EXPECT_EQ(number(), REGISTER_VERSION_NUMBER);
    EXPECT_EQ(std::to_string(number() >> 16) + "." + std::to_string(number() >> 8 & 0xFF) + "." +
                  std::to_string(number() & 0xFF),
              text());
}

using RegisterUser = decltype(&DLL_RegisterUser);
using RegisterUserEx = decltype(&DLL_RegisterUserEx);

TEST(ExportTable, NullTextIsAnInternalErrorThroughBothEntryPoints)
{
    LoadedLibrary library(REGISTER_LIBRARY_FILE);
    ASSERT_TRUE(library.isLoaded()) << library.error();
    auto registerUser = library.function<RegisterUser>("DLL_RegisterUser");
    auto registerUserEx = library.function<RegisterUserEx>("DLL_RegisterUserEx");
    ASSERT_NE(registerUser, nullptr);
    ASSERT_NE(registerUserEx, nullptr);

    EXPECT_EQ(registerUser(nullptr, 0, 0, 0, 0, 0), REGISTER_RESULT_INTERNAL_ERROR);

    char result[4] = {'x', 'x', 'x', 'x'};
    char log[4] = {'x', 'x', 'x', 'x'};
    int32_t resultLength = -1;
    int32_t logLength = -1;
    EXPECT_EQ(registerUserEx(nullptr, 0, 0, 0, 0, 0, result, 4, &resultLength, log, 4, &logLength),
              REGISTER_RESULT_INTERNAL_ERROR);
    EXPECT_EQ(resultLength, 0);
    EXPECT_EQ(logLength, 0);
    EXPECT_EQ(result[0], '\0');
    EXPECT_EQ(log[0], '\0');
    EXPECT_EQ(registerUserEx(nullptr, 0, 0, 0, 0, 0, nullptr, 0, nullptr, nullptr, 0, nullptr),
              REGISTER_RESULT_INTERNAL_ERROR);
}

} // namespace
