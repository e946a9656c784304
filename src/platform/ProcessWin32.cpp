// Win32 backend of the process facilities. Paths and environment values are
// wide on Windows; they cross this seam as UTF-8.

#include "platform/Process.h"

#include <windows.h>

namespace Platform {

namespace {

std::wstring widen(const std::string& text)
{
    if (text.empty()) {
        return {};
    }
    const int length =
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(length > 0 ? length : 0), L'\0');
    if (length > 0) {
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(),
                            length);
    }
    return wide;
}

std::string narrow(const wchar_t* wide, int wideLength)
{
    if (wideLength <= 0) {
        return {};
    }
    const int length =
        WideCharToMultiByte(CP_UTF8, 0, wide, wideLength, nullptr, 0, nullptr, nullptr);
    std::string text(static_cast<std::size_t>(length > 0 ? length : 0), '\0');
    if (length > 0) {
        WideCharToMultiByte(CP_UTF8, 0, wide, wideLength, text.data(), length, nullptr, nullptr);
    }
    return text;
}

class FileHandle {
  public:
    explicit FileHandle(HANDLE opened) : handle(opened) {}
    ~FileHandle()
    {
        if (handle != INVALID_HANDLE_VALUE) {
            CloseHandle(handle);
        }
    }
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    HANDLE get() const { return handle; }

  private:
    HANDLE handle;
};

} // namespace

std::string moduleFilePath()
{
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(&moduleFilePath), &module)) {
        return {};
    }
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) {
            return {};
        }
        // A full buffer may mean a cut path; try again with more room.
        if (length < path.size()) {
            return narrow(path.data(), static_cast<int>(length));
        }
        if (path.size() >= 32768) {
            return {};
        }
        path.resize(path.size() * 2);
    }
}

std::optional<std::string> environmentVariable(const char* name)
{
    const std::wstring wideName = widen(name);
    const DWORD needed = GetEnvironmentVariableW(wideName.c_str(), nullptr, 0);
    if (needed == 0) {
        if (GetLastError() == ERROR_ENVVAR_NOT_FOUND) {
            return std::nullopt;
        }
        return std::string();
    }
    std::wstring value(needed, L'\0');
    const DWORD length = GetEnvironmentVariableW(wideName.c_str(), value.data(), needed);
    if (length >= needed) {
        return std::nullopt;
    }
    return narrow(value.data(), static_cast<int>(length));
}

FileRead readWholeFile(const std::string& path, std::string& contents)
{
    const FileHandle file(CreateFileW(widen(path).c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.get() == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? FileRead::missing
                                                                              : FileRead::failed;
    }
    contents.clear();
    char block[4096];
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file.get(), block, sizeof block, &got, nullptr)) {
            return FileRead::failed;
        }
        if (got == 0) {
            return FileRead::read;
        }
        contents.append(block, got);
    }
}

bool appendWhole(const std::string& path, std::string_view bytes)
{
    // A handle with append access alone: Windows places each WriteFile
    // whole at the end of the file, whoever else appends.
    const FileHandle file(CreateFileW(widen(path).c_str(), FILE_APPEND_DATA,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.get() == INVALID_HANDLE_VALUE || bytes.size() > MAXDWORD) {
        return false;
    }
    DWORD written = 0;
    return WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                     nullptr) &&
           written == bytes.size();
}

CancellationShield::CancellationShield() noexcept = default;

CancellationShield::~CancellationShield() = default;

} // namespace Platform
