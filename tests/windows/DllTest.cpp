// register.dll as the Windows loader binds it for a host linked against the
// import library and compiled against the public header.

#include <cstdint>
#include <gtest/gtest.h>
#include <iterator>
#include <map>
#include <register/register.h>
#include <string>
#include <vector>
#include <windows.h>

namespace {

HMODULE registerModule()
{
    return GetModuleHandleA("register.dll");
}

std::string versionString(const std::vector<char>& info, const std::string& name)
{
    void* value = nullptr;
    UINT length = 0;
    const std::string path = "\\StringFileInfo\\040904B0\\" + name;
    if (!VerQueryValueA(info.data(), path.c_str(), &value, &length) || length == 0) {
        return {};
    }
    return std::string(static_cast<const char*>(value), length - 1);
}

// What this program's import address table holds for each function it
// imports from the named DLL, by the name it imports it under: the slots a
// call through a dllimport declaration jumps through (the __imp_ pointers),
// as the loader filled them in. An import by ordinal is listed as "#n".
std::map<std::string, FARPROC> boundImports(const char* dllName)
{
    const auto* base = reinterpret_cast<const BYTE*>(GetModuleHandleA(nullptr));
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& directory =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    std::map<std::string, FARPROC> bound;
    if (directory.VirtualAddress == 0) {
        return bound;
    }
    for (auto* module =
             reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + directory.VirtualAddress);
         module->Name != 0; ++module) {
        if (lstrcmpiA(reinterpret_cast<const char*>(base + module->Name), dllName) != 0 ||
            module->OriginalFirstThunk == 0) {
            continue;
        }
        // The lookup table keeps the names; the address table, once bound,
        // holds the addresses in the same order.
        const auto* names =
            reinterpret_cast<const IMAGE_THUNK_DATA*>(base + module->OriginalFirstThunk);
        const auto* slots = reinterpret_cast<const IMAGE_THUNK_DATA*>(base + module->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++slots) {
            const auto address = reinterpret_cast<FARPROC>(slots->u1.Function);
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) {
                bound["#" + std::to_string(IMAGE_ORDINAL(names->u1.Ordinal))] = address;
            } else {
                const auto* byName =
                    reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
                bound[reinterpret_cast<const char*>(byName->Name)] = address;
            }
        }
    }
    return bound;
}

TEST(RegisterDll, ImportLibraryBindsThePlainExports)
{
    const HMODULE module = registerModule();
    ASSERT_NE(module, nullptr);
    // On 32-bit Windows the header's __stdcall names are decorated; the import
    // library must map them to the plain names the DLL exports. Each function
    // is referenced so that the program imports it, but a reference is no
    // measure: on i686 it may be the program's own jump stub, so the address
    // compared is the one in the import address table.
    using Address = void (*)();
    const struct {
        const char* name;
        Address referenced;
    } exports[] = {
        {"DLL_RegisterUser", reinterpret_cast<Address>(&DLL_RegisterUser)},
        {"DLL_RegisterUserEx", reinterpret_cast<Address>(&DLL_RegisterUserEx)},
        {"DLL_RegisterCallCreate", reinterpret_cast<Address>(&DLL_RegisterCallCreate)},
        {"DLL_RegisterCallDestroy", reinterpret_cast<Address>(&DLL_RegisterCallDestroy)},
        {"DLL_RegisterCallSetNumber", reinterpret_cast<Address>(&DLL_RegisterCallSetNumber)},
        {"DLL_RegisterCallSetText", reinterpret_cast<Address>(&DLL_RegisterCallSetText)},
        {"DLL_RegisterCallSetProgress", reinterpret_cast<Address>(&DLL_RegisterCallSetProgress)},
        {"DLL_RegisterCallRun", reinterpret_cast<Address>(&DLL_RegisterCallRun)},
        {"DLL_RegisterCallCancel", reinterpret_cast<Address>(&DLL_RegisterCallCancel)},
        {"DLL_RegisterCallGetNumber", reinterpret_cast<Address>(&DLL_RegisterCallGetNumber)},
        {"DLL_RegisterCallGetInfo", reinterpret_cast<Address>(&DLL_RegisterCallGetInfo)},
        {"DLL_RegisterCallGetText", reinterpret_cast<Address>(&DLL_RegisterCallGetText)},
        {"DLL_RegisterResultText", reinterpret_cast<Address>(&DLL_RegisterResultText)},
        {"DLL_RegisterReasonText", reinterpret_cast<Address>(&DLL_RegisterReasonText)},
        {"DLL_RegisterVersion", reinterpret_cast<Address>(&DLL_RegisterVersion)},
        {"DLL_RegisterVersionNumber", reinterpret_cast<Address>(&DLL_RegisterVersionNumber)},
    };
    const std::map<std::string, FARPROC> bound = boundImports("register.dll");
    std::string imported;
    for (const auto& [name, address] : bound) {
        imported += " " + name;
    }
    for (const auto& entry : exports) {
        ASSERT_NE(entry.referenced, nullptr);
        const auto slot = bound.find(entry.name);
        ASSERT_NE(slot, bound.end())
            << entry.name << " is not imported by its plain name; imported:" << imported;
        EXPECT_EQ(slot->second, GetProcAddress(module, entry.name)) << entry.name;
    }
    EXPECT_EQ(bound.size(), std::size(exports)) << "imported:" << imported;
}

TEST(RegisterDll, HeaderAndLibraryCarryThisBuildsVersion)
{
    // A header or a library left behind at an older version, as an install
    // over an old one could pair them.
    EXPECT_STREQ(DLL_RegisterVersion(), REGISTER_BUILD_VERSION_TEXT);
    EXPECT_EQ(std::to_string(REGISTER_VERSION_MAJOR) + "." +
                  std::to_string(REGISTER_VERSION_MINOR) + "." +
                  std::to_string(REGISTER_VERSION_PATCH),
              REGISTER_BUILD_VERSION_TEXT);
    EXPECT_EQ(DLL_RegisterVersionNumber(), REGISTER_VERSION_NUMBER);
    EXPECT_EQ(REGISTER_VERSION_NUMBER, REGISTER_BUILD_VERSION_MAJOR << 16 |
                                           REGISTER_BUILD_VERSION_MINOR << 8 |
                                           REGISTER_BUILD_VERSION_PATCH);
}

TEST(RegisterDll, CallsReturnThroughTheDeclaredConvention)
{
    // A null text fails before any network step. A calling-convention mismatch
    // leaves the stack pointer off after each call; repeated calls with locals
    // read afterwards turn that into wrong values or a crash.
    for (int round = 0; round < 3; ++round) {
        EXPECT_EQ(DLL_RegisterUser(nullptr, 300, 1, 2, 3, 4), REGISTER_RESULT_INTERNAL_ERROR);
        char result[4] = {'x', 'y', 'z', 'w'};
        std::int32_t resultLength = -1;
        std::int32_t logLength = -1;
        EXPECT_EQ(DLL_RegisterUserEx(nullptr, 0, 0, 0, 0, 0, result, sizeof result, &resultLength,
                                     nullptr, 0, &logLength),
                  REGISTER_RESULT_INTERNAL_ERROR);
        EXPECT_EQ(resultLength, 0);
        EXPECT_EQ(result[0], '\0');
        EXPECT_GE(logLength, 0);
    }
}

TEST(RegisterDll, ConfigurationAndLogPathsThatAreNoFileAreRefusedAtOnce)
{
    // Windows' own kinds of "not a file": a folder and the NUL device. Each
    // is a configuration error before any network step, not a wait or a read.
    char folder[MAX_PATH] = {};
    ASSERT_GT(GetTempPathA(MAX_PATH, folder), 0u);
    struct Row {
        const char* name;
        const char* variable;
        std::string value;
    };
    const Row rows[] = {
        {"a folder as the configuration", "REGISTER_CONFIG", folder},
        {"NUL as the configuration", "REGISTER_CONFIG", "NUL"},
        {"NUL as the log file", "REGISTER_LOG_FILE", "NUL"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ASSERT_TRUE(SetEnvironmentVariableA(row.variable, row.value.c_str()));
        char log[1024] = {};
        EXPECT_EQ(
            DLL_RegisterUserEx("a", 3, 1, 0, 1, 0, nullptr, 0, nullptr, log, sizeof log, nullptr),
            REGISTER_RESULT_INTERNAL_ERROR);
        EXPECT_EQ(std::string(log).rfind("Configuration error: ", 0), 0u) << log;
        EXPECT_NE(std::string(log).find("not a regular file"), std::string::npos) << log;
        SetEnvironmentVariableA(row.variable, nullptr);
    }
}

TEST(RegisterDll, VersionResourceDescribesThisBuild)
{
    char path[MAX_PATH] = {};
    ASSERT_GT(GetModuleFileNameA(registerModule(), path, MAX_PATH), 0u);
    DWORD unused = 0;
    const DWORD size = GetFileVersionInfoSizeA(path, &unused);
    ASSERT_GT(size, 0u) << "no version resource in " << path;
    std::vector<char> info(size);
    ASSERT_TRUE(GetFileVersionInfoA(path, 0, size, info.data()));

    void* value = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(info.data(), "\\", &value, &length));
    ASSERT_GE(length, sizeof(VS_FIXEDFILEINFO));
    const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
    EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
    EXPECT_EQ(fixed->dwFileVersionMS, static_cast<DWORD>(REGISTER_BUILD_VERSION_MAJOR << 16 |
                                                         REGISTER_BUILD_VERSION_MINOR));
    EXPECT_EQ(fixed->dwFileVersionLS, static_cast<DWORD>(REGISTER_BUILD_VERSION_PATCH << 16));
    EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_DLL));

    EXPECT_EQ(versionString(info, "FileVersion"), REGISTER_BUILD_VERSION_TEXT);
    EXPECT_EQ(versionString(info, "ProductVersion"), REGISTER_BUILD_VERSION_TEXT);
    EXPECT_EQ(versionString(info, "OriginalFilename"), "register.dll");
    EXPECT_FALSE(versionString(info, "ProductName").empty());
    EXPECT_FALSE(versionString(info, "FileDescription").empty());
}

} // namespace
