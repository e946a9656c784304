// POSIX backend of the process facilities.

#include "platform/Process.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Platform {

namespace {

class Descriptor {
  public:
    explicit Descriptor(int opened) : fd(opened) {}
    ~Descriptor()
    {
        if (fd >= 0) {
            ::close(fd);
        }
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd; }

  private:
    int fd;
};

} // namespace

std::string absolutePath(const std::string& path)
{
    if (path.empty() || path.front() == '/') {
        return path;
    }
    std::string folder(256, '\0');
    while (::getcwd(folder.data(), folder.size()) == nullptr) {
        if (errno != ERANGE || folder.size() >= (std::size_t{1} << 20)) {
            return path;
        }
        folder.resize(folder.size() * 2);
    }
    folder.resize(folder.find('\0'));
    std::string_view relative = path;
    while (relative.substr(0, 2) == "./") {
        relative.remove_prefix(2);
    }
    return folder + (folder.back() == '/' ? "" : "/") + std::string(relative);
}

namespace {

// The loader names a library by the path it was found under, which is
// relative when it was loaded as "./lib..." or through a relative
// LD_LIBRARY_PATH entry; only the working folder at load time resolves it.
std::string modulePathNow()
{
    // Any address inside this module names it; a function of this file is
    // the one that is sure to be here.
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&modulePathNow), &info) == 0 || info.dli_fname == nullptr) {
        return {};
    }
    return absolutePath(info.dli_fname);
}

// Initialised while the module is being loaded, before any host code can
// change the working folder.
const std::string modulePathAtLoad = modulePathNow();

} // namespace

std::string moduleFilePath()
{
    return modulePathAtLoad;
}

std::optional<std::string> environmentVariable(const char* name)
{
    const char* value = std::getenv(name);
    if (value == nullptr) {
        return std::nullopt;
    }
    return std::string(value);
}

FileRead readWholeFile(const std::string& path, std::string& contents, std::size_t limit)
{
    // Non-blocking, so that a FIFO with no writer is opened at once and then
    // refused instead of holding the caller until someone writes to it.
    const Descriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (file.get() < 0) {
        return errno == ENOENT ? FileRead::missing : FileRead::failed;
    }
    struct stat status {};
    if (fstat(file.get(), &status) != 0) {
        return FileRead::failed;
    }
    if (!S_ISREG(status.st_mode)) {
        return FileRead::notRegular;
    }
    if (static_cast<std::uint64_t>(status.st_size) > limit) {
        return FileRead::tooLarge;
    }
    contents.clear();
    char block[4096];
    for (;;) {
        const ssize_t got = ::read(file.get(), block, sizeof block);
        if (got == 0) {
            return FileRead::read;
        }
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return FileRead::failed;
        }
        // The file may grow while it is read.
        if (contents.size() + static_cast<std::size_t>(got) > limit) {
            return FileRead::tooLarge;
        }
        contents.append(block, static_cast<std::size_t>(got));
    }
}

bool namesSomethingElse(const std::string& path)
{
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 && !S_ISREG(status.st_mode);
}

bool appendWhole(const std::string& path, std::string_view bytes)
{
    const Descriptor file(::open(
        path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0644));
    struct stat status {};
    if (file.get() < 0 || fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
        return false;
    }
    // Writers through this function take turns, so that the look at the last
    // byte and the append are one step: another record being written meanwhile
    // could otherwise show a half-written end and get a line feed it does not
    // need. Released when the descriptor closes.
    while (::flock(file.get(), LOCK_EX) != 0 && errno == EINTR) {
    }
    if (::fstat(file.get(), &status) != 0) {
        return false;
    }
    std::string_view record = bytes;
    std::string separated;
    if (status.st_size > 0) {
        // Another descriptor reads the last byte: this one may only append.
        const Descriptor reader(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
        char last = '\n';
        if (reader.get() >= 0 && ::pread(reader.get(), &last, 1, status.st_size - 1) == 1 &&
            last != '\n') {
            separated.reserve(bytes.size() + 1);
            separated.append("\n").append(bytes);
            record = separated;
        }
    }
    // One write: with O_APPEND the kernel places it whole at the end. A
    // short write (a full disk) leaves the rest out rather than risk
    // splitting the record around another writer's.
    for (;;) {
        const ssize_t done = ::write(file.get(), record.data(), record.size());
        if (done >= 0) {
            return static_cast<std::size_t>(done) == record.size();
        }
        if (errno != EINTR) {
            return false;
        }
    }
}

CancellationShield::CancellationShield() noexcept
{
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &previousState);
}

CancellationShield::~CancellationShield()
{
    int ignored = 0;
    pthread_setcancelstate(previousState, &ignored);
}

} // namespace Platform
