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

// Every symbol the dynamic symbol table defines, whatever its kind.
std::set<std::string> exportedSymbols()
{
    const std::string command = std::string("nm -D --defined-only '") + REGISTER_LIBRARY_FILE + "'";
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    std::set<std::string> names;
    if (!pipe) {
        return names;
    }
    char line[512];
    while (std::fgets(line, sizeof line, pipe.get()) != nullptr) {
        std::istringstream fields(line);
        std::string address, kind, name;
        if (fields >> address >> kind >> name) {
            names.insert(name.substr(0, name.find('@')));
        }
    }
    return names;
}

TEST(ExportTable, HoldsExactlyTheFunctionsOfThePublicHeader)
{
    const std::set<std::string> declared = declaredFunctions();
    ASSERT_TRUE(declared.count("DLL_RegisterUser")) << "header not parsed";
    EXPECT_EQ(exportedSymbols(), declared);
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
