// register.dll as the Windows loader binds it for a host linked against the
// import library and compiled against the public header.

#include <cstdint>
#include <gtest/gtest.h>
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

TEST(RegisterDll, ImportLibraryBindsThePlainExports)
{
    const HMODULE module = registerModule();
    ASSERT_NE(module, nullptr);
    // On 32-bit Windows the header's __stdcall names are decorated; the import
    // library must map them to the plain names the DLL exports.
    using Address = void (*)();
    const struct {
        const char* name;
        Address bound;
    } exports[] = {
        {"DLL_RegisterUser", reinterpret_cast<Address>(&DLL_RegisterUser)},
        {"DLL_RegisterUserEx", reinterpret_cast<Address>(&DLL_RegisterUserEx)},
    };
    for (const auto& entry : exports) {
        EXPECT_EQ(reinterpret_cast<Address>(GetProcAddress(module, entry.name)), entry.bound)
            << entry.name;
    }
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
    EXPECT_EQ(fixed->dwFileVersionMS,
              static_cast<DWORD>(REGISTER_VERSION_MAJOR << 16 | REGISTER_VERSION_MINOR));
    EXPECT_EQ(fixed->dwFileVersionLS, static_cast<DWORD>(REGISTER_VERSION_PATCH << 16));
    EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_DLL));

    EXPECT_EQ(versionString(info, "FileVersion"), REGISTER_VERSION_TEXT);
    EXPECT_EQ(versionString(info, "ProductVersion"), REGISTER_VERSION_TEXT);
    EXPECT_EQ(versionString(info, "OriginalFilename"), "register.dll");
    EXPECT_FALSE(versionString(info, "ProductName").empty());
    EXPECT_FALSE(versionString(info, "FileDescription").empty());
}

} // namespace
