// Win32 backend of the process facilities. Paths and environment values are
// wide on Windows; they cross this seam as UTF-8.

#include "platform/Process.h"

#include <cstdint>
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

std::string absolutePath(const std::string& path)
{
    if (path.empty()) {
        return path;
    }
    const std::wstring wide = widen(path);
    const DWORD needed = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    if (needed == 0) {
        return path;
    }
    std::wstring full(needed, L'\0');
    const DWORD length = GetFullPathNameW(wide.c_str(), needed, full.data(), nullptr);
    if (length == 0 || length >= needed) {
        return path;
    }
    return narrow(full.data(), static_cast<int>(length));
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

namespace {

// A disk file, not a folder, a pipe, a console or a device such as NUL.
bool isRegularFile(HANDLE file)
{
    BY_HANDLE_FILE_INFORMATION information{};
    return GetFileType(file) == FILE_TYPE_DISK && GetFileInformationByHandle(file, &information) &&
           (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

} // namespace

FileRead readWholeFile(const std::string& path, std::string& contents, std::size_t limit)
{
    // Backup semantics let a folder be opened, and then refused like any
    // other thing that is not a file.
    const FileHandle file(CreateFileW(widen(path).c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (file.get() == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? FileRead::missing
                                                                              : FileRead::failed;
    }
    if (!isRegularFile(file.get())) {
        return FileRead::notRegular;
    }
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file.get(), &size)) {
        return FileRead::failed;
    }
    if (static_cast<std::uint64_t>(size.QuadPart) > limit) {
        return FileRead::tooLarge;
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
        if (contents.size() + got > limit) {
            return FileRead::tooLarge;
        }
        contents.append(block, got);
    }
}

bool namesSomethingElse(const std::string& path)
{
    // No access asked for: the file is only looked at, and a pipe or a
    // device is not engaged.
    const FileHandle file(CreateFileW(widen(path).c_str(), 0,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    return file.get() != INVALID_HANDLE_VALUE && !isRegularFile(file.get());
}

bool appendWhole(const std::string& path, std::string_view bytes)
{
    // Append access without write access: Windows places each WriteFile
    // whole at the end of the file, whoever else appends. Read access tells
    // whether the file ends in a torn record.
    const FileHandle file(CreateFileW(widen(path).c_str(), FILE_APPEND_DATA | FILE_READ_DATA,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.get() == INVALID_HANDLE_VALUE || !isRegularFile(file.get()) ||
        bytes.size() >= MAXDWORD) {
        return false;
    }
    // Writers through this function take turns, so that the look at the last
    // byte and the append are one step: another record being written meanwhile
    // could otherwise show a half-written end and get a line feed it does not
    // need. The byte locked lies far past any log's end, where a lock keeps no
    // reader from the text; a file system without locks still gets the record.
    OVERLAPPED turn{};
    turn.OffsetHigh = 0x40000000;
    const bool ourTurn = LockFileEx(file.get(), LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &turn) != 0;
    std::string_view record = bytes;
    std::string separated;
    LARGE_INTEGER size{};
    if (GetFileSizeEx(file.get(), &size) && size.QuadPart > 0) {
        OVERLAPPED at{};
        const std::uint64_t lastByte = static_cast<std::uint64_t>(size.QuadPart) - 1;
        at.Offset = static_cast<DWORD>(lastByte);
        at.OffsetHigh = static_cast<DWORD>(lastByte >> 32);
        char last = '\n';
        DWORD got = 0;
        if (ReadFile(file.get(), &last, 1, &got, &at) && got == 1 && last != '\n') {
            separated.reserve(bytes.size() + 1);
            separated.append("\n").append(bytes);
            record = separated;
        }
    }
    DWORD written = 0;
    const bool whole = WriteFile(file.get(), record.data(), static_cast<DWORD>(record.size()),
                                 &written, nullptr) &&
                       written == record.size();
    if (ourTurn) {
        UnlockFileEx(file.get(), 0, 1, 0, &turn);
    }
    return whole;
}

CancellationShield::CancellationShield() noexcept = default;

CancellationShield::~CancellationShield() = default;

} // namespace Platform
